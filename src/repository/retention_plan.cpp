#include "repository/retention_plan.h"

#include "config/time_stamp.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace tesmora {
namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// ISO 8601: the week belongs to the year of its Thursday.
std::int64_t IsoWeekKey(const os::LocalTime& t) {
    const std::int64_t days = DaysFromCivil(t.year, t.month, t.day);
    const std::int64_t weekday = ((days + 3) % 7 + 7) % 7;  // 0 Monday ... 6 Sunday
    const std::int64_t thursday = days - weekday + 3;
    std::int64_t year = t.year + 1;
    while (DaysFromCivil(year, 1, 1) > thursday) --year;
    return year * 100 + (thursday - DaysFromCivil(year, 1, 1)) / 7 + 1;
}

std::int64_t PeriodKey(Tier tier, const os::LocalTime& t, std::size_t position) {
    switch (tier) {
        case Tier::Last: return static_cast<std::int64_t>(position);  // every snapshot a period of its own
        case Tier::Daily: return DaysFromCivil(t.year, t.month, t.day);
        case Tier::Weekly: return IsoWeekKey(t);
        case Tier::Monthly: return static_cast<std::int64_t>(t.year) * 100 + t.month;
        case Tier::Yearly: return t.year;
    }
    return 0;
}

constexpr std::array<Tier, 5> kTiers = {Tier::Last, Tier::Daily, Tier::Weekly, Tier::Monthly, Tier::Yearly};

std::uint32_t TierBits(Tier tier) {
    switch (tier) {
        case Tier::Last: return kKeptLast | kKeptRecent | kKeptAll;
        case Tier::Daily: return kKeptDaily;
        case Tier::Weekly: return kKeptWeekly;
        case Tier::Monthly: return kKeptMonthly;
        case Tier::Yearly: return kKeptYearly;
    }
    return 0;
}

int TierCount(const RetentionPolicy& p, Tier tier) {
    switch (tier) {
        case Tier::Last: return p.keep;
        case Tier::Daily: return p.daily;
        case Tier::Weekly: return p.weekly;
        case Tier::Monthly: return p.monthly;
        case Tier::Yearly: return p.yearly;
    }
    return 0;
}

constexpr std::uint32_t kUnmovable = kKeptNewest | kKeptPinned | kKeptFuture;

// Gives up kept snapshots for space, finest tier first and the oldest of a
// tier first; false, with nothing given up, when even all of that is short.
bool Thin(std::vector<PlanDecision>& decisions, const std::vector<PlannedSnapshot>& snapshots,
          const std::vector<std::size_t>& newestFirst, const SpaceBudget& space, std::uint64_t& missing) {
    std::uint64_t kept = 0;
    for (std::size_t i = 0; i < decisions.size(); ++i) {
        if (decisions[i].keep) kept += snapshots[i].bytes;
    }
    const auto fits = [&] { return kept + space.needed <= space.capacity; };
    if (fits()) return true;
    std::vector<PlanDecision> thinned = decisions;
    // The oldest kept snapshot holds the deepest history: it stays.
    const auto oldest = std::find_if(newestFirst.rbegin(), newestFirst.rend(),
                                     [&](std::size_t i) { return thinned[i].keep; });
    for (const Tier tier : kTiers) {
        for (auto it = newestFirst.rbegin(); it != newestFirst.rend() && !fits(); ++it) {
            PlanDecision& d = thinned[*it];
            if (!d.keep || (d.reasons & TierBits(tier)) == 0 || (d.reasons & kUnmovable) != 0 || it == oldest) continue;
            d.reasons &= ~TierBits(tier);
            if (d.reasons != 0) continue;  // a coarser tier still holds it
            d.keep = false;
            d.thinned = tier;
            kept -= snapshots[*it].bytes;
        }
    }
    if (!fits()) {
        missing = kept + space.needed - space.capacity;
        return false;
    }
    decisions = std::move(thinned);
    return true;
}

}  // namespace

RetentionOutcome RetentionPlan(const std::vector<PlannedSnapshot>& snapshots, std::uint64_t now,
                               const LocalCalendar& calendar, const RetentionPolicy& policy,
                               const std::optional<SpaceBudget>& space) {
    RetentionOutcome outcome;
    outcome.decisions.resize(snapshots.size());
    std::vector<std::size_t> newestFirst(snapshots.size());
    std::iota(newestFirst.begin(), newestFirst.end(), std::size_t{0});
    std::sort(newestFirst.begin(), newestFirst.end(), [&](std::size_t a, std::size_t b) {
        if (snapshots[a].created != snapshots[b].created) return snapshots[a].created > snapshots[b].created;
        return snapshots[a].name > snapshots[b].name;
    });
    const auto keep = [&](std::size_t i, std::uint32_t reason) {
        outcome.decisions[i].keep = true;
        outcome.decisions[i].reasons |= reason;
    };
    // What counts: not ahead of the clock; the tiers take complete ones alone.
    std::vector<std::size_t> present, complete;
    for (const std::size_t i : newestFirst) {
        if (snapshots[i].pinned) keep(i, kKeptPinned);
        if (snapshots[i].created > now) {
            keep(i, kKeptFuture);
            continue;
        }
        present.push_back(i);
        if (snapshots[i].complete) complete.push_back(i);
    }
    if (!complete.empty()) keep(complete.front(), kKeptNewest);
    if (!policy.trims()) {
        for (const std::size_t i : present) keep(i, kKeptAll);
    } else {
        for (const Tier tier : kTiers) {
            int left = TierCount(policy, tier);
            std::optional<std::int64_t> last;
            for (std::size_t nr = 0; nr < complete.size() && left > 0; ++nr) {
                const std::int64_t period = PeriodKey(tier, calendar(snapshots[complete[nr]].created), nr);
                // The oldest stays while the tier has count left: the longest history.
                if (last == period && nr + 1 != complete.size()) continue;
                keep(complete[nr], TierBits(tier) & ~(kKeptRecent | kKeptAll));
                last = period;
                --left;
            }
        }
        // An incomplete snapshot still holds the newest files: the newest one
        // stays, and those among the newest N, beside the complete ones.
        for (std::size_t nr = 0; nr < present.size(); ++nr) {
            const std::size_t i = present[nr];
            if (snapshots[i].complete) continue;
            if (nr == 0 || nr < static_cast<std::size_t>(std::max(policy.keep, 0))) keep(i, kKeptRecent);
        }
    }
    if (space) Thin(outcome.decisions, snapshots, newestFirst, *space, outcome.missingBytes);
    return outcome;
}

std::uint64_t NeededForNextRun(std::uint64_t lastArchiveBytes) {
    return lastArchiveBytes + std::max<std::uint64_t>(lastArchiveBytes / 10, std::uint64_t{64} << 20);
}

HistoryShape ShapeOfHistory(const RetentionPolicy& policy, std::uint32_t intervalHours) {
    // Runs every interval for long enough to fill every tier (two years,
    // more when yearly copies are kept), planned at the last of them.
    const std::uint64_t step = std::max<std::uint32_t>(intervalHours, 1) * 3600ull;
    const std::uint64_t span = (2 + static_cast<std::uint64_t>(std::max(policy.yearly, 0))) * 366 * 86400;
    const std::uint64_t start = 1704067200;  // 2024-01-01 UTC: the calendar is UTC here
    std::vector<PlannedSnapshot> runs;
    for (std::uint64_t t = start; t <= start + span; t += step) runs.push_back({{}, t});
    const RetentionOutcome plan = RetentionPlan(runs, runs.back().created, UtcTimeAt, policy);
    HistoryShape shape;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!plan.decisions[i].keep) continue;
        ++shape.copies;
        shape.depthSeconds = std::max(shape.depthSeconds, runs.back().created - runs[i].created);
    }
    return shape;
}

RetentionPolicy FitRetentionPolicy(std::uint64_t roomBytes, std::uint64_t archiveBytes, std::uint32_t intervalHours) {
    RetentionPolicy fitted{1};
    RetentionPolicy next = fitted;
    const std::pair<int RetentionPolicy::*, int> steps[] = {
        {&RetentionPolicy::weekly, 2}, {&RetentionPolicy::daily, 3},  {&RetentionPolicy::monthly, 2},
        {&RetentionPolicy::weekly, 4}, {&RetentionPolicy::daily, 7},  {&RetentionPolicy::monthly, 6},
        {&RetentionPolicy::monthly, 12},
    };
    const std::uint64_t perCopy = archiveBytes + archiveBytes / 10;
    for (const auto& [tier, count] : steps) {
        next.*tier = count;
        // Room for the copies and for the next run beside them.
        if ((ShapeOfHistory(next, intervalHours).copies + 1) * perCopy > roomBytes) break;
        fitted = next;
    }
    return fitted;
}

const wchar_t* TierName(Tier tier) {
    switch (tier) {
        case Tier::Last: return L"newest";
        case Tier::Daily: return L"daily";
        case Tier::Weekly: return L"weekly";
        case Tier::Monthly: return L"monthly";
        case Tier::Yearly: return L"yearly";
    }
    return L"";
}

}  // namespace tesmora
