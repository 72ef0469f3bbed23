#include "notices/notice_rules.h"

#include "config/ini_file.h"
#include "notices/notices.h"
#include "os/os.h"
#include "resource_ids.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace tesmora::notices {
namespace {

constexpr std::uint64_t kNow = 1700000000;
constexpr std::uint64_t kDay = 86400;

TEST(NoticeRules, FailuresAreToldAtOnceThenOnceADayWhileAutomaticIsOn) {
    NoticeState state{kNow - 3 * kDay, 24, true, 0, 0};
    EXPECT_TRUE(FailureNoticeDue(kNow, state, ErrorKind::ConnectionFailed));
    EXPECT_FALSE(FailureNoticeDue(kNow, state, ErrorKind::Busy));
    state.last_failure_notice = kNow - kDay + 1;
    EXPECT_FALSE(FailureNoticeDue(kNow, state, ErrorKind::ConnectionFailed));
    state.last_failure_notice = kNow - kDay;
    EXPECT_TRUE(FailureNoticeDue(kNow, state, ErrorKind::ConnectionFailed));
    state.last_failure_notice = kNow + 301;  // the clock was set back
    EXPECT_TRUE(FailureNoticeDue(kNow, state, ErrorKind::ConnectionFailed));
    state.automatic = false;
    state.last_failure_notice = 0;
    EXPECT_FALSE(FailureNoticeDue(kNow, state, ErrorKind::ConnectionFailed));
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

TEST(NoticeTexts, GiveTheReasonThenTheLastGoodCopyAndTheMessageOnlyWhereTheReasonNeedsIt) {
    const std::string mismatch = "SSH HOST KEY MISMATCH. Expected SHA256:a; received SHA256:b";
    EXPECT_EQ(FailureNoticeText(ErrorKind::HostKeyMismatch, mismatch, L"2023-11-14 23:13"),
              FailureReason(ErrorKind::HostKeyMismatch) + L"\nПоследняя удачная копия: 2023-11-14 23:13.");
    EXPECT_EQ(FailureNoticeText(ErrorKind::Internal, "Out of memory", L""),
              FailureReason(ErrorKind::Internal) + L" Out of memory\nУдачных копий ещё не было.");
    const FileSystemError damage("rename", std::wstring(400, L'x'), "Access is denied.");
    const std::wstring longest = FailureNoticeText(damage.kind(), damage.what(), L"2023-11-14 23:13");
    EXPECT_EQ(longest.size(), 255u);
    EXPECT_EQ(longest.rfind(FailureReason(ErrorKind::FileSystem) + L" rename: xxx", 0), 0u);
    EXPECT_EQ(longest.substr(longest.size() - 44), L"…\nПоследняя удачная копия: 2023-11-14 23:13.");
}

// The manual's text with every run of white space made one space, so that a
// message broken over two lines is still found.
std::string ManualText() {
    std::string text;
    for (const char c : os::LoadResourceBytes(TESMORA_RESOURCE_MANUAL)) {
        const bool space = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (space && (text.empty() || text.back() == ' ')) continue;
        text += space ? ' ' : c;
    }
    return text;
}

TEST(ErrorCatalogue, EveryKindHasItsOwnRussianReasonAndTheManualExplainsItsEnglishText) {
    std::set<std::wstring> reasons;
    for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
        const std::wstring reason = FailureReason(static_cast<ErrorKind>(kind));
        EXPECT_NE(std::find_if(reason.begin(), reason.end(), [](wchar_t c) { return c >= L'а' && c <= L'я'; }),
                  reason.end())
            << kind;
        // A kind left out of the explanations would share the internal one.
        EXPECT_TRUE(reasons.insert(reason).second) << kind;
    }
    const std::string manual = ManualText();
    ASSERT_GT(manual.size(), 1000u);
    for (const ErrorCatalogueEntry& entry : ErrorCatalogue()) {
        if (entry.english.empty()) continue;
        std::string english(entry.english);
        while (english.back() == ' ') english.pop_back();
        EXPECT_NE(manual.find("\xC2\xAB" + english), std::string::npos) << "the manual lacks «" << english << "»";
    }
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
