#include "config/schedule_state.h"

#include "config/ini_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

constexpr std::uint64_t kNow = 1700000000;

TEST(IsBackupDue, FollowsTheIntervalAndDistrustsFutureTimes) {
    EXPECT_TRUE(IsBackupDue(kNow, 0, 24, 0));
    EXPECT_FALSE(IsBackupDue(kNow, kNow - 86399, 24, kNow - 86399));
    EXPECT_TRUE(IsBackupDue(kNow, kNow - 86400, 24, kNow - 86400));
    EXPECT_TRUE(IsBackupDue(kNow, kNow - 90000, 24, kNow));
    EXPECT_TRUE(IsBackupDue(kNow, kNow + 301, 24, kNow));   // clock set back
    EXPECT_FALSE(IsBackupDue(kNow, kNow + 300, 24, kNow));
    EXPECT_TRUE(IsBackupDue(kNow, kNow - 60, 24, kNow + 1000));
    EXPECT_FALSE(IsBackupDue(kNow, kNow - 60, 8760, kNow - 60));
}

TEST(ShouldScheduledStartRun, HonoursOnlyRetryPausesWithinTheHour) {
    ScheduleState failedRecently{kNow - 90000, kNow - 600, kNow + 899, 0};
    EXPECT_FALSE(ShouldScheduledStartRun(kNow, true, 24, failedRecently));
    failedRecently.retry_after = kNow;
    EXPECT_TRUE(ShouldScheduledStartRun(kNow, true, 24, failedRecently));
    failedRecently.retry_after = kNow + 3600;  // an hour or more away: a clock set back
    EXPECT_TRUE(ShouldScheduledStartRun(kNow, true, 24, failedRecently));
    failedRecently.retry_after = kNow + 3599;
    EXPECT_FALSE(ShouldScheduledStartRun(kNow, true, 24, failedRecently));
    EXPECT_FALSE(ShouldScheduledStartRun(kNow, false, 24, ScheduleState{}));
    EXPECT_FALSE(ShouldScheduledStartRun(kNow, true, 24, ScheduleState{kNow - 60, kNow - 60, 0, 0}));
    EXPECT_TRUE(ShouldScheduledStartRun(kNow, true, 24, ScheduleState{}));
}

TEST(ScheduleFile, RecordsAttemptsAndSuccessesWholeAndReadsBack) {
    testing::TempDir dir;
    const std::wstring file = dir.file(L"schedule.ini");
    RecordAttempt(file, kNow, 0);
    EXPECT_EQ(testing::ReadBytes(file), BuildIniContent({{L"last_success", L"0"}, {L"last_seen", L"1700000000"},
                                                         {L"last_attempt", L"1700000000"},
                                                         {L"retry_after", L"1700000900"}}));
    ScheduleState state = ReadScheduleState(file);
    EXPECT_EQ(state.last_seen, kNow);
    EXPECT_EQ(state.retry_after, kNow + 900);

    RecordSuccess(file, kNow + 100);
    EXPECT_EQ(testing::ReadBytes(file), BuildIniContent({{L"last_success", L"1700000100"},
                                                         {L"last_seen", L"1700000100"}, {L"retry_after", L"0"}}));
    state = ReadScheduleState(file);
    EXPECT_EQ(state.last_success, kNow + 100);
    EXPECT_EQ(state.retry_after, 0u);

    WriteIniFile(file, {{L"last_success", L"1700000000x"}, {L"last_seen", L"-5"}});
    state = ReadScheduleState(file);
    EXPECT_EQ(state.last_success, 0u);  // malformed: due
    EXPECT_EQ(ReadScheduleState(dir.file(L"absent.ini")).last_success, 0u);
}

TEST(ScheduleSummaryText, ShowsLastAndNextInUtc) {
    EXPECT_EQ(ScheduleSummaryText(1700000000, 24),
              L"Последняя: 2023-11-14_22-13-20_UTC\nСледующая: 2023-11-15_22-13-20_UTC");
    EXPECT_EQ(ScheduleSummaryText(0, 24), L"Первая копия ещё не завершена; срок наступил.");
}

}  // namespace
}  // namespace tesmora
