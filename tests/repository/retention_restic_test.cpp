// The retention plan against restic's own `forget`: the same snapshot times in
// a private restic repository, the same policy, the same kept set, but for
// the differences the plan means to have. Needs the distribution's restic
// (skipped without it, as under Wine). Times are UTC on both sides: restic
// buckets a snapshot by the zone it was made in, and the runs here are made
// with TZ=UTC; local time zones are the plan's own tests' business.
#include "repository/retention_plan.h"

#include "config/time_stamp.h"
#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>

namespace tesmora {
namespace {

os::LocalTime Utc(std::uint64_t utc) { return UtcTimeAt(utc); }

std::string Stamp(std::uint64_t utc) {
    const os::LocalTime t = Utc(utc);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// What the shell command printed; empty when it failed.
std::string Shell(const std::string& command, const std::wstring& out) {
    if (std::system((command + " > '" + ToUtf8(out) + "' 2>&1").c_str()) != 0) return {};
    return testing::ReadBytes(out);
}

// A year and a bit of runs: one or two on some days, none on most, a
// three-week gap, and never two in one second.
std::vector<std::uint64_t> Times() {
    std::mt19937 random(29);
    std::vector<std::uint64_t> times;
    const std::uint64_t start = 1703980800;  // 2023-12-31 00:00 UTC, a Sunday
    for (int day = 0; day < 420; day += 1 + static_cast<int>(random() % 36)) {
        if (day > 200 && day < 221) continue;
        const int runs = 1 + static_cast<int>(random() % 2);
        for (int r = 0; r < runs; ++r) times.push_back(start + day * 86400ull + r * 4 * 3600ull + random() % 3600);
    }
    return times;
}

TEST(RetentionPlanAgainstRestic, KeepsWhatResticForgetKeepsButTheOldestWhileATierHasCountLeft) {
    if (!testing::TestSetting("TESMORA_TEST_NO_PEER_TOOLS").empty()) GTEST_SKIP() << "peer tools are left out here";
    testing::TempDir dir;
    const std::wstring out = dir.file(L"out");
    if (Shell("restic version", out).empty()) GTEST_SKIP() << "restic is not installed";
    const std::string root = ToUtf8(dir.path());
    const std::vector<std::uint64_t> times = Times();
    ASSERT_GE(times.size(), 25u);
    std::ofstream(os::FsPath(dir.file(L"jobs"))) << [&] {
        std::string lines;
        for (std::size_t i = 0; i < times.size(); ++i) lines += std::to_string(i) + " '" + Stamp(times[i]) + "'\n";
        return lines;
    }();
    const std::string env = "cd '" + root + "' && export TZ=UTC RESTIC_PASSWORD=bench RESTIC_REPOSITORY='" + root +
                            "/repo' RESTIC_CACHE_DIR='" + root + "/cache' && mkdir -p src && echo x > src/a && ";
    // Backups may run side by side: each takes a shared lock.
    ASSERT_FALSE(Shell(env + "restic init -q && xargs -P 4 -L 1 sh -c 'restic backup -q --host h --tag n$0 --time \"$1\" "
                           "src' < jobs && echo done", out)
                     .empty());

    struct Case {
        const char* flags;
        RetentionPolicy policy;
    } cases[] = {
        {"--keep-last 3 --keep-daily 7 --keep-weekly 4 --keep-monthly 6 --keep-yearly 1", {3, 7, 4, 6, 1}},
        {"--keep-daily 10 --keep-monthly 3", {0, 10, 0, 3, 0}},
        {"--keep-weekly 60", {0, 0, 60, 0, 0}},  // more weeks than the history has
        {"--keep-last 5", {5, 0, 0, 0, 0}},
    };
    std::vector<PlannedSnapshot> planned;
    for (std::size_t i = 0; i < times.size(); ++i) planned.push_back({L"n" + std::to_wstring(i), times[i]});
    const std::uint64_t now = *std::max_element(times.begin(), times.end()) + 60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        const std::string answer = Shell(env + "restic forget --dry-run --json " + c.flags, out);
        ASSERT_FALSE(answer.empty());
        std::set<std::size_t> theirs;
        for (const auto& group : nlohmann::json::parse(answer)) {
            for (const auto& kept : group.at("keep")) theirs.insert(std::stoul(kept.at("tags")[0].get<std::string>().substr(1)));
        }
        const RetentionOutcome outcome = RetentionPlan(planned, now, Utc, c.policy);
        std::set<std::size_t> ours;
        for (std::size_t i = 0; i < planned.size(); ++i) {
            if (outcome.decisions[i].keep) ours.insert(i);
        }
        // restic 0.14 lets a tier's unused count go; 0.16 and later, like the
        // plan, keep the oldest snapshot then. No other difference.
        const std::size_t oldest = static_cast<std::size_t>(std::min_element(times.begin(), times.end()) - times.begin());
        std::set<std::size_t> differ;
        std::set_symmetric_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                                      std::inserter(differ, differ.begin()));
        EXPECT_TRUE(differ.empty() || differ == std::set<std::size_t>{oldest}) << differ.size() << " differ";
        if (!differ.empty()) {
            EXPECT_TRUE(ours.count(oldest));
        }
    }
}

}  // namespace
}  // namespace tesmora
