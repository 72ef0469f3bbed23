#include "config/backup_log.h"

#include "config/local_data.h"
#include "config/layout.h"
#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace tesmora {
namespace {

using testing::ReadBytes;
using testing::TempDir;

const std::regex kStampedLine("\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d_UTC (.*)\r\n");

TEST(BackupLog, AppendsStampedUtf8LinesWithCrLf) {
    TempDir dir;
    BackupSettings settings;
    settings.drive_root = dir.path();
    std::filesystem::create_directory(os::FsPath(os::JoinPath(dir.path(), layout::kBackupFolder)));
    BackupLog::append(settings, LogLine::Start(L"192.0.2.10", 22));
    BackupLog::append(settings, LogLine::Warning(L"Копия\nготова"), 1700000000);
    const std::string log = ReadBytes(os::JoinPath(os::JoinPath(dir.path(), layout::kBackupFolder), L"backup.log"));
    const size_t firstEnd = log.find("\r\n") + 2;
    std::smatch match;
    const std::string first = log.substr(0, firstEnd), second = log.substr(firstEnd);
    ASSERT_TRUE(std::regex_match(first, match, kStampedLine)) << log;
    EXPECT_EQ(match[1], "START 192.0.2.10:22");
    ASSERT_TRUE(std::regex_match(second, match, kStampedLine)) << log;
    // A line break in a message would start a line without a stamp.
    EXPECT_EQ(second, "2023-11-14_22-13-20_UTC Warning: \xD0\x9A\xD0\xBE\xD0\xBF\xD0\xB8\xD1\x8F \xD0\xB3\xD0\xBE\xD1\x82\xD0\xBE\xD0\xB2\xD0\xB0\r\n");
}

TEST(BackupLog, EveryLineReadsBackAsWhatWasWritten) {
    const LogLine written[] = {
        LogLine::Start(L"сервер.example", 2222),
        LogLine::Login(L"keyboard-interactive", true),
        LogLine::Login(L"key", false),
        LogLine::Success(L"2026-12-07_10-00-00_UTC-0A1B"),
        LogLine::Failed(L".partial-ID", L"Remote backup failed: Cannot read /a: b: c"),
        LogLine::Warning(L"Selected source holds no file: /srv"),
        LogLine::Verify(L"S1", true, L""),
        LogLine::Verify(L"S2", false, L"the archive ends: cut short"),
        LogLine::RetentionSkipped(L"extra files in snapshot S3"),
        LogLine::RetentionIncomplete(),
        LogLine::FinishedCommit(L"S4"),
        LogLine::NotRecorded(L"S5", L"Settings/state could not be saved: x"),
        LogLine::Incomplete(L"S6", L"Cannot dump the MySQL/MariaDB database a: b (named in /c: d)"),
    };
    std::string bytes;
    for (const LogLine& line : written) bytes += ToUtf8(L"2026-12-07_10-00-00_UTC " + line.message + L"\r\n");
    const std::vector<LogLine> read = ParseBackupLog(bytes);
    ASSERT_EQ(read.size(), std::size(written));
    for (std::size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(ToUtf8(written[i].message));
        EXPECT_EQ(read[i].kind, written[i].kind);
        EXPECT_EQ(read[i].subject, written[i].subject);
        EXPECT_EQ(read[i].detail, written[i].detail);
        EXPECT_EQ(read[i].ok, written[i].ok);
        EXPECT_EQ(read[i].time, 1796637600u);
    }
    // Lines of other versions keep their text and count for nothing.
    EXPECT_EQ(ParseLogMessage(L"VERIFY S6 maybe").kind, LogKind::Other);
    EXPECT_EQ(ParseLogMessage(L"FAILED: old form").detail, L"FAILED: old form");
}

TEST(BackupLog, MissingBackupFolderLosesTheLineQuietly) {
    TempDir dir;
    BackupSettings settings;
    settings.drive_root = dir.file(L"unplugged");
    EXPECT_NO_THROW(BackupLog::append(settings, LogLine::Start(L"host", 22)));
    EXPECT_FALSE(testing::Exists(settings.drive_root));
}

TEST(BackupLog, ErrorLinesKeepTheMessageBytesAndEndInCrLf) {
    EXPECT_EQ(ErrorLogLine(1700000000, "Cannot write: Z:\\x\\\xD1\x84.txt"),
              "2023-11-14_22-13-20_UTC Cannot write: Z:\\x\\\xD1\x84.txt\r\n");
    EXPECT_EQ(ErrorLogLine(0, "two\nlines"), "1970-01-01_00-00-00_UTC two\r\nlines\r\n");
}

TEST(BackupLog, ErrorLinesGoToTheLocalDataDirectoryInOrder) {
    const std::wstring path = os::JoinPath(LocalDataDirectory(), layout::kErrorLogFile);
    const size_t before = ReadBytes(path).size();
    BackupLog::appendError("first failure");
    BackupLog::appendError("second failure");
    const std::string added = ReadBytes(path).substr(before);
    std::smatch match;
    const size_t firstEnd = added.find("\r\n") + 2;
    const std::string first = added.substr(0, firstEnd), second = added.substr(firstEnd);
    ASSERT_TRUE(std::regex_match(first, match, kStampedLine)) << added;
    EXPECT_EQ(match[1], "first failure");
    ASSERT_TRUE(std::regex_match(second, match, kStampedLine)) << added;
    EXPECT_EQ(match[1], "second failure");
}

}  // namespace
}  // namespace tesmora
