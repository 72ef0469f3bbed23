#include "notices/notice_rules.h"

#include "config/ini_file.h"
#include "notices/notices.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora::notices {
namespace {

constexpr std::uint64_t kNow = 1700000000;
constexpr std::uint64_t kDay = 86400;

TEST(NoticeRules, FailuresAreToldAtOnceThenOnceADayWhileAutomaticIsOn) {
    NoticeState state{kNow - 3 * kDay, 24, true, 0, 0};
    EXPECT_TRUE(FailureNoticeDue(kNow, state, "SSH connection failed/timeout"));
    EXPECT_FALSE(FailureNoticeDue(kNow, state, "A backup/settings operation is already running"));
    state.last_failure_notice = kNow - kDay + 1;
    EXPECT_FALSE(FailureNoticeDue(kNow, state, "SSH connection failed/timeout"));
    state.last_failure_notice = kNow - kDay;
    EXPECT_TRUE(FailureNoticeDue(kNow, state, "SSH connection failed/timeout"));
    state.last_failure_notice = kNow + 301;  // the clock was set back
    EXPECT_TRUE(FailureNoticeDue(kNow, state, "SSH connection failed/timeout"));
    state.automatic = false;
    state.last_failure_notice = 0;
    EXPECT_FALSE(FailureNoticeDue(kNow, state, "SSH connection failed/timeout"));
}

TEST(NoticeRules, AnAbsentDriveIsToldAfterTheIntervalAndADayThenOnceADay) {
    const std::uint64_t limit = 48 * 3600 + kDay;
    NoticeState state{kNow - limit, 48, true, 0, 0};
    EXPECT_FALSE(OverdueNoticeDue(kNow, state));
    state.last_success = kNow - limit - 1;
    EXPECT_TRUE(OverdueNoticeDue(kNow, state));
    state.last_overdue_notice = kNow - kDay + 1;
    EXPECT_FALSE(OverdueNoticeDue(kNow, state));
    state.last_overdue_notice = kNow - kDay;
    EXPECT_TRUE(OverdueNoticeDue(kNow, state));
    EXPECT_FALSE(OverdueNoticeDue(kNow, NoticeState{0, 24, true, 0, 0}));  // nothing ever succeeded here
    EXPECT_FALSE(OverdueNoticeDue(kNow, NoticeState{kNow - 30 * kDay, 24, false, 0, 0}));
    EXPECT_EQ(OverdueNoticeText(kNow, kNow - 5 * kDay - 3600),
              L"Подключите диск для резервных копий: последняя копия 5 дн. назад");
}

TEST(NoticeTexts, ExplainTheReasonInRussianAndAlwaysKeepTheLastGoodCopy) {
    EXPECT_EQ(FailureNoticeText("SSH connection failed/timeout", L"2023-11-14 23:13"),
              L"Сервер не отвечает.\nПоследняя удачная копия: 2023-11-14 23:13.");
    EXPECT_EQ(FailureReason("SSH HOST KEY MISMATCH. Expected SHA256:a; received SHA256:b"),
              L"Ключ сервера изменился; копии остановлены до проверки ключа в настройках.");
    EXPECT_EQ(FailureNoticeText("Settings close failed", L""),
              L"Копирование прервалось с ошибкой: Settings close failed\nУдачных копий ещё не было.");
    const std::wstring longest = FailureNoticeText("rename: " + std::string(400, 'x'), L"2023-11-14 23:13");
    EXPECT_EQ(longest.size(), 255u);
    EXPECT_EQ(longest.substr(longest.size() - 44), L"…\nПоследняя удачная копия: 2023-11-14 23:13.");
}

TEST(NoticeState, ReadsBackWhatItWritesAndKeepsDefaultsForWhatItCannotRead) {
    testing::TempDir dir;
    const std::wstring file = NoticeStateFile(dir.path());
    const NoticeState state{kNow, 168, false, kNow - 60, kNow - 120};
    WriteIniFile(file, NoticeStateEntries(state));
    EXPECT_EQ(NoticeStateEntries(ReadNoticeState(file)), NoticeStateEntries(state));

    WriteIniFile(file, {{L"last_success", L"17x"}, {L"hours", L"0"}, {L"automatic", L"2"},
                        {L"last_overdue_notice", L"-1"}});
    EXPECT_EQ(NoticeStateEntries(ReadNoticeState(file)), NoticeStateEntries(NoticeState{}));
}

}  // namespace
}  // namespace tesmora::notices
