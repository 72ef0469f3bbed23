#include "repository/retention_plan.h"

#include <gtest/gtest.h>

#include <set>

namespace tesmora {
namespace {

constexpr std::uint64_t kHour = 3600, kDay = 24 * kHour;

// A civil date from days since 1970-01-01 (proleptic Gregorian).
os::LocalTime Civil(std::int64_t seconds) {
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    const auto second = static_cast<unsigned>(seconds - days * 86400);
    return {static_cast<unsigned>(yoe + era * 400 + (m <= 2)), m, d, second / 3600, second / 60 % 60, second % 60};
}

// UTC+1, and UTC+2 in summer time: the last Sunday of March at 01:00 UTC to
// the last Sunday of October at 01:00 UTC (the 2024 dates).
os::LocalTime Berlin(std::uint64_t utc) {
    const bool summer = utc >= 1711846800 && utc < 1729990800;
    return Civil(static_cast<std::int64_t>(utc + (summer ? 2 : 1) * kHour));
}

os::LocalTime Utc(std::uint64_t utc) { return Civil(static_cast<std::int64_t>(utc)); }

std::vector<PlannedSnapshot> Runs(std::initializer_list<std::uint64_t> times) {
    std::vector<PlannedSnapshot> runs;
    for (const std::uint64_t t : times) runs.push_back({L"s" + std::to_wstring(t), t});
    return runs;
}

// The times of the snapshots kept.
std::set<std::uint64_t> Kept(const std::vector<PlannedSnapshot>& runs, const RetentionOutcome& outcome) {
    std::set<std::uint64_t> kept;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (outcome.decisions[i].keep) kept.insert(runs[i].created);
    }
    return kept;
}

constexpr std::uint64_t kMonday = 1704067200;  // 2024-01-01 00:00 UTC, a Monday

TEST(RetentionPlan, TheNewestNAloneIsTheOldRuleAndAnIncompleteCopyPushesOutNoCompleteOne) {
    std::vector<PlannedSnapshot> runs;
    for (int i = 0; i < 6; ++i) runs.push_back({L"s" + std::to_wstring(i), kMonday + i * kHour});
    const std::uint64_t now = kMonday + kDay;
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, now, Utc, {3})),
              (std::set<std::uint64_t>{kMonday + 3 * kHour, kMonday + 4 * kHour, kMonday + 5 * kHour}));
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, now, Utc, {})).size(), 6u);  // keep = 0: all
    // The two newest lack a database: they stay, and so do the two newest complete ones.
    runs[4].complete = runs[5].complete = false;
    const RetentionOutcome outcome = RetentionPlan(runs, now, Utc, {2});
    EXPECT_EQ(Kept(runs, outcome), (std::set<std::uint64_t>{kMonday + 2 * kHour, kMonday + 3 * kHour,
                                                             kMonday + 4 * kHour, kMonday + 5 * kHour}));
    EXPECT_EQ(outcome.decisions[3].reasons, kKeptLast | kKeptNewest);
    EXPECT_EQ(outcome.decisions[5].reasons, kKeptRecent);
}

TEST(RetentionPlan, EachTierKeepsTheNewestOfItsPeriodsAndEmptyPeriodsDoNotCount) {
    // Six runs a day for ten days, then three weeks without any, then five more days.
    std::vector<PlannedSnapshot> runs;
    const auto day = [&](int d) {
        for (int r = 0; r < 6; ++r) runs.push_back({L"d" + std::to_wstring(d) + L"-" + std::to_wstring(r),
                                                    kMonday + d * kDay + r * 4 * kHour});
    };
    for (int d = 0; d < 10; ++d) day(d);
    for (int d = 31; d < 36; ++d) day(d);
    const std::uint64_t now = kMonday + 36 * kDay;
    RetentionPolicy policy;
    policy.daily = 7;
    const std::set<std::uint64_t> kept = Kept(runs, RetentionPlan(runs, now, Utc, policy));
    std::set<std::uint64_t> lastOfDay;
    for (int d : {35, 34, 33, 32, 31, 9, 8}) lastOfDay.insert(kMonday + d * kDay + 20 * kHour);
    EXPECT_EQ(kept, lastOfDay);

    // Weeks are ISO weeks: Monday 2024-01-01 opens week 1; the gap leaves weeks 3 and 4 empty.
    policy = {};
    policy.weekly = 3;
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, now, Utc, policy)),
              (std::set<std::uint64_t>{kMonday + 35 * kDay + 20 * kHour, kMonday + 34 * kDay + 20 * kHour,
                                       kMonday + 9 * kDay + 20 * kHour}));

    // A tier with count left past the oldest keeps the oldest; one snapshot serves several tiers.
    policy.monthly = 12;
    const RetentionOutcome outcome = RetentionPlan(runs, now, Utc, policy);
    EXPECT_TRUE(Kept(runs, outcome).count(kMonday));
    EXPECT_EQ(outcome.decisions.back().reasons, kKeptWeekly | kKeptMonthly | kKeptNewest);

    // Two snapshots in one second: one of them is the day's.
    std::vector<PlannedSnapshot> twins = {{L"a", kMonday + 60}, {L"b", kMonday + 60}};
    policy = {};
    policy.daily = 1;
    EXPECT_EQ(RetentionPlan(twins, now, Utc, policy).decisions[1].reasons, kKeptDaily | kKeptNewest);
    EXPECT_FALSE(RetentionPlan(twins, now, Utc, policy).decisions[0].keep);
}

TEST(RetentionPlan, CalendarPeriodsAreLocalAcrossSummerTimeAndTheYearsEdge) {
    // 2024-03-31 summer time begins at 01:00 UTC: 02:00 local never happens.
    // 23:30 UTC on the 30th is already 00:30 of the 31st in Berlin.
    const std::uint64_t march31 = 1711843200;  // 2024-03-31 00:00 UTC
    RetentionPolicy daily;
    daily.daily = 2;
    auto runs = Runs({march31 - kHour / 2, march31 + kHour / 2, march31 + kHour + kHour / 2, march31 - 2 * kHour});
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, march31 + kDay, Berlin, daily)),
              (std::set<std::uint64_t>{march31 + kHour + kHour / 2, march31 - 2 * kHour}));
    // In UTC the same runs fall on other days: a changed zone regroups them.
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, march31 + kDay, Utc, daily)),
              (std::set<std::uint64_t>{march31 + kHour + kHour / 2, march31 - kHour / 2}));

    // 2024-10-27 at 01:00 UTC the clock goes back: 02:30 local happens twice, on one day.
    const std::uint64_t october27 = 1729987200;  // 00:00 UTC
    runs = Runs({october27 + kHour / 2, october27 + kHour + kHour / 2, october27 - 23 * kHour});
    daily.daily = 3;
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, october27 + kDay, Berlin, daily)),
              (std::set<std::uint64_t>{october27 + kHour + kHour / 2, october27 - 23 * kHour}));

    // Monday 2024-12-30 opens ISO week 1 of 2025; the year is still 2024.
    const std::uint64_t december29 = 1735430400;  // a Sunday, week 52
    runs = Runs({december29 + 12 * kHour, december29 + kDay + 12 * kHour, december29 + 3 * kDay + 12 * kHour});
    RetentionPolicy weekly;
    weekly.weekly = 2;
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, december29 + 4 * kDay, Utc, weekly)),
              (std::set<std::uint64_t>{december29 + 12 * kHour, december29 + 3 * kDay + 12 * kHour}));
    RetentionPolicy yearly;
    yearly.yearly = 2;
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, december29 + 4 * kDay, Utc, yearly)),
              (std::set<std::uint64_t>{december29 + kDay + 12 * kHour, december29 + 3 * kDay + 12 * kHour}));
}

TEST(RetentionPlan, AClockAheadAFailedNewestRunAndAShrinkKeepWhatMatters) {
    RetentionPolicy policy;
    policy.keep = 1;
    policy.daily = 2;
    auto runs = Runs({kMonday, kMonday + kDay, kMonday + 2 * kDay, kMonday + 3 * kDay, kMonday + 400 * kDay});
    // The last one was made with the clock a year ahead: kept, and counted for nothing.
    const RetentionOutcome ahead = RetentionPlan(runs, kMonday + 3 * kDay + 60, Utc, policy);
    EXPECT_EQ(Kept(runs, ahead), (std::set<std::uint64_t>{kMonday + 2 * kDay, kMonday + 3 * kDay, kMonday + 400 * kDay}));
    EXPECT_EQ(ahead.decisions[4].reasons, kKeptFuture);
    // With the clock right again it is simply the newest.
    EXPECT_EQ(RetentionPlan(runs, kMonday + 401 * kDay, Utc, policy).decisions[4].reasons,
              kKeptLast | kKeptDaily | kKeptNewest);

    // A failed newest run fills no tier: yesterday's complete copy stays the day's.
    runs.pop_back();
    runs.back().complete = false;
    runs.back().pinned = true;
    const RetentionOutcome failed = RetentionPlan(runs, kMonday + 4 * kDay, Utc, policy);
    EXPECT_EQ(failed.decisions[3].reasons, kKeptPinned | kKeptRecent);
    EXPECT_EQ(failed.decisions[2].reasons, kKeptLast | kKeptDaily | kKeptNewest);
    EXPECT_TRUE(failed.decisions[1].keep);
    EXPECT_FALSE(failed.decisions[0].keep);

    // A policy shrunk to the newest alone keeps that and the newest incomplete run.
    EXPECT_EQ(Kept(runs, RetentionPlan(runs, kMonday + 4 * kDay, Utc, {1})),
              (std::set<std::uint64_t>{kMonday + 2 * kDay, kMonday + 3 * kDay}));
}

TEST(RetentionPlan, AFullDriveThinsTheFinestTierFirstAndNeverTheOldestNorTheNewest) {
    std::vector<PlannedSnapshot> runs;
    for (int d = 0; d < 60; d += 3) runs.push_back({L"s" + std::to_wstring(d), kMonday + d * kDay, true, false, 100});
    const std::uint64_t now = kMonday + 60 * kDay;
    RetentionPolicy policy;
    policy.keep = 3;
    policy.daily = 5;
    policy.weekly = 6;
    const RetentionOutcome roomy = RetentionPlan(runs, now, Utc, policy, SpaceBudget{10000, 100});
    const std::size_t keptWithRoom = Kept(runs, roomy).size();
    EXPECT_EQ(keptWithRoom, 8u);  // the weekly tier reaches furthest
    // Room for two fewer: the daily tier's two oldest go, which nothing coarser holds.
    const RetentionOutcome tight = RetentionPlan(runs, now, Utc, policy, SpaceBudget{100 * (keptWithRoom - 2) + 100, 100});
    EXPECT_EQ(tight.missingBytes, 0u);
    EXPECT_EQ(Kept(runs, tight).size(), keptWithRoom - 2);
    EXPECT_EQ(Kept(runs, tight), (std::set<std::uint64_t>{kMonday + 57 * kDay, kMonday + 54 * kDay, kMonday + 48 * kDay,
                                                          kMonday + 39 * kDay, kMonday + 33 * kDay, kMonday + 27 * kDay}));
    EXPECT_EQ(tight.decisions[15].thinned, Tier::Daily);  // day 45
    // Without tiers every copy is kept; space then takes the second oldest, never the oldest.
    const RetentionOutcome flat = RetentionPlan(runs, now, Utc, {}, SpaceBudget{100 * 19 + 100, 100});
    EXPECT_TRUE(flat.decisions[0].keep);
    EXPECT_FALSE(flat.decisions[1].keep);
    EXPECT_EQ(flat.decisions[1].thinned, Tier::Last);
    // When even the newest and the oldest do not leave room, nothing goes and the lack is told.
    const RetentionOutcome full = RetentionPlan(runs, now, Utc, policy, SpaceBudget{250, 100});
    EXPECT_EQ(full.missingBytes, 50u);
    EXPECT_EQ(Kept(runs, full).size(), keptWithRoom);
}

TEST(FitRetentionPolicy, FillsTheTiersInTheirOrderAsFarAsTheDriveHolds) {
    constexpr std::uint64_t kGb = 1000000000;
    // A tiny drive: the newest copy alone.
    EXPECT_EQ(FitRetentionPolicy(2 * kGb, 1 * kGb, 4).keep, 1);
    EXPECT_FALSE(FitRetentionPolicy(2 * kGb, 1 * kGb, 4).tiered());
    // Room for everything: a year by months, a month by weeks, a week by days.
    const RetentionPolicy roomy = FitRetentionPolicy(1000 * kGb, 1 * kGb, 4);
    EXPECT_EQ((std::vector<int>{roomy.keep, roomy.daily, roomy.weekly, roomy.monthly, roomy.yearly}),
              (std::vector<int>{1, 7, 4, 12, 0}));
    const HistoryShape shape = ShapeOfHistory(roomy, 4);
    EXPECT_GE(shape.depthSeconds, 300 * kDay);
    EXPECT_LE(shape.copies, 23u);  // one snapshot serves several tiers
    // In between: each step only when its copies fit.
    const RetentionPolicy middle = FitRetentionPolicy(12 * kGb, 1 * kGb, 4);
    EXPECT_LE((ShapeOfHistory(middle, 4).copies + 1) * 1100000000, 12 * kGb);
    EXPECT_GT(ShapeOfHistory(middle, 4).depthSeconds, 14 * kDay);
}

}  // namespace
}  // namespace tesmora
