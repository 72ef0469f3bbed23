#include "ui/window_texts.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora::ui {
namespace {

TEST(ScheduleSummary, AddsTheLastFailureAndAnOverdueCopyInRed) {
    using testing::Logged;
    const std::vector<LogLine> log = {Logged(100, L"START h:22"), Logged(110, L"SUCCESS 2026-01-01_00-00-00_UTC-A"),
                                      Logged(200, L"FAILED (partial directory retained): .partial-ID: Host lookup failed")};
    const auto failure = FindLastFailure(log);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->time, 200u);
    EXPECT_EQ(failure->message, L"Host lookup failed");
    // A cancel after it leaves it the last failure; a success clears it.
    auto later = log;
    later.push_back(Logged(250, L"FAILED (partial directory retained): .partial-ID: Cancelled; incomplete archive is "
                                L"not a backup"));
    EXPECT_EQ(FindLastFailure(later)->time, 200u);
    later.push_back(Logged(300, L"SUCCESS 2026-01-02_00-00-00_UTC-B"));
    later.push_back(Logged(400, L"FAILED (partial directory retained): .partial-ID: Cancelled"));
    EXPECT_FALSE(FindLastFailure(later));
    // A snapshot without its databases stays in red until a whole one, or a failure, follows.
    later.push_back(Logged(500, L"SUCCESS 2026-01-03_00-00-00_UTC-C"));
    later.push_back(Logged(500, L"INCOMPLETE 2026-01-03_00-00-00_UTC-C: Cannot dump a"));
    later.push_back(Logged(500, L"INCOMPLETE 2026-01-03_00-00-00_UTC-C: Cannot dump b"));
    const auto incomplete = FindLastFailure(later);
    ASSERT_TRUE(incomplete);
    EXPECT_TRUE(incomplete->incomplete);
    EXPECT_EQ(incomplete->message, L"Cannot dump a; Cannot dump b");
    EXPECT_NE(ScheduleSummary(500, 500, 24, incomplete).text.find(L"\nНеполная копия "), std::wstring::npos);
    later.push_back(Logged(600, L"FAILED (partial directory retained): .partial-ID: Host lookup failed"));
    EXPECT_FALSE(FindLastFailure(later)->incomplete);

    const std::uint64_t day = 86400, success = 1700000000;
    const Summary fresh = ScheduleSummary(success + day, success, 24, std::nullopt);
    EXPECT_FALSE(fresh.alert);
    EXPECT_EQ(fresh.text, L"Последняя: 2023-11-14_22-13-20_UTC\nСледующая: 2023-11-15_22-13-20_UTC");
    EXPECT_FALSE(ScheduleSummary(success + 2 * day, success, 24, std::nullopt).alert);  // interval + a day: not yet
    const Summary overdue = ScheduleSummary(success + 3 * day, success, 24, failure);
    EXPECT_TRUE(overdue.alert);
    EXPECT_NE(overdue.text.find(L": Host lookup failed\nКопия просрочена: последняя 3 дн. назад"), std::wstring::npos);
}

TEST(ProgressEstimate, MovesUntilTheTotalIsKnownThenCountsDown) {
    ProgressEstimate estimate;
    EXPECT_FALSE(estimate.transfer({"discovery", 0, 0}, 0).known);
    EXPECT_EQ(estimate.transfer({"archive", 100, 1000}, 1).percent, 10);
    EXPECT_EQ(estimate.transfer({"archive", 200, 1000}, 3).caption, L"20 %");  // the rate is not steady yet
    EXPECT_EQ(estimate.transfer({"archive", 600, 1000}, 11).caption, L"60 %, осталось меньше минуты");
    EXPECT_EQ(estimate.transfer({"archive", 600, 120000}, 11).caption, L"0 %, осталось ~40 мин");  // 50 B/s
    EXPECT_EQ(estimate.transfer({"archive", 1100, 1000}, 12).percent, 100);  // sidecars may pass the plan
    EXPECT_EQ(ProgressEstimate::verification(50, 200).caption, L"Проверка копии: 25 %");
}

TEST(HistoryDepthText, SaysHowFarBackInTheLargestUnitAndWhatItTakes) {
    EXPECT_EQ(HistoryDepthText({17, 182 * 86400}, 2400000000), L"\u2248 6 месяцев истории, 17 копий, 41 ГБ");
    EXPECT_EQ(HistoryDepthText({1, 21 * 86400}, 500000000), L"\u2248 3 недели истории, 1 копия, 0,5 ГБ");
    EXPECT_EQ(HistoryDepthText({3, 2 * 86400}, 1000000000), L"\u2248 2 дня истории, 3 копии, 3,0 ГБ");
}

TEST(SnapshotRow, ShowsSizeCountsAndState) {
    SnapshotInfo info;
    info.name = L"2026-01-01_00-00-00_UTC-A";
    info.created = 1767225600;
    info.archiveBytes = 1610612736;
    info.files = 20044;
    info.databases = 2;
    info.dumps = 1;
    info.own = false;
    info.state = SnapshotState::Damaged;
    info.reason = L"the gzip data ends early";
    const auto row = SnapshotRow(info);
    EXPECT_EQ(row[1], L"1,5 ГиБ");
    EXPECT_EQ(row[2], L"20044 / 2 / 1");
    EXPECT_EQ(row[3], L"повреждена: the gzip data ends early (другая настройка)");
    info.files.reset();
    info.archiveBytes = 5000;
    info.own = true;
    info.state = SnapshotState::Unfinished;
    EXPECT_EQ(SnapshotRow(info)[1], L"5 КиБ");
    EXPECT_EQ(SnapshotRow(info)[2], L"—");
    EXPECT_EQ(SnapshotRow(info)[3], L"не завершена");
    // A committed snapshot without a database the server found.
    info.state = SnapshotState::Unverified;
    info.missed = {L"Cannot dump the MySQL/MariaDB database shop (named in /var/www/config.php): x"};
    EXPECT_EQ(SnapshotRow(info)[3], L"не проверена, неполная");
    EXPECT_EQ(WithCrLf(L"a\nb\r\nc\n"), L"a\r\nb\r\nc\r\n");
}

}  // namespace
}  // namespace tesmora::ui
