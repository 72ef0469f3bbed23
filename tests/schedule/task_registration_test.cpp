#include "schedule/task_registration.h"

#include "os/error.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifdef _WIN32
#include "os/win/win32.h"
#endif

namespace tesmora {
namespace {

std::wstring GoldenPath(const wchar_t* name) {
    // The golden files sit beside this source file.
    return os::JoinPath(os::JoinPath(os::FromFsPath(std::filesystem::path(__FILE__).parent_path()), L"golden"), name);
}

TEST(XmlEscape, EscapesEachSpecialCharacterOnce) {
    EXPECT_EQ(XmlEscape(L"a&b<c>d\"e'f"), L"a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(XmlEscape(L"&amp;"), L"&amp;amp;");
    EXPECT_EQ(XmlEscape(L"<<>>"), L"&lt;&lt;&gt;&gt;");
    EXPECT_EQ(XmlEscape(L""), L"");
}

TEST(QuoteArgument, AlwaysQuotesAndDoublesBackslashesBeforeQuotes) {
    EXPECT_EQ(QuoteArgument(L"Tesmora-SiteBackup"), L"\"Tesmora-SiteBackup\"");
    EXPECT_EQ(QuoteArgument(L""), L"\"\"");
    EXPECT_EQ(QuoteArgument(L"C:\\Users\\A & B\\"), L"\"C:\\Users\\A & B\\\\\"");
    EXPECT_EQ(QuoteArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(QuoteArgument(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");
    EXPECT_EQ(QuoteArgument(L"a\\b"), L"\"a\\b\"");
}

TEST(BuildTaskXml, MatchesTheGoldenDefinitionByteForByte) {
    const std::wstring folder = L"C:\\Users\\Анна & Co\\AppData\\Local\\Tesmora\\SiteBackup";
    const std::wstring xml = BuildTaskXml(L"S-1-5-21-1004336348-1177238915-682003330-1001",
                                          os::LocalTime{2026, 3, 7, 4, 5, 9}, folder + L"\\TesmoraBackup.exe", folder);
    const std::string golden = testing::ReadBytes(GoldenPath(L"task.xml"));
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ("\xFF\xFE" + Utf16LeBytes(xml), golden);
    EXPECT_EQ(xml.find(L'\n'), std::wstring::npos);
}

// schtasks /Delete answers 1 for a missing task and for a refused delete alike.
TEST(RegisterTask, AMissingTaskIsNoErrorAndARefusedDeleteIsReported) {
    EXPECT_NO_THROW(RegisterTask(false));
    EXPECT_NO_THROW(RegisterTask(false));
#ifdef _WIN32
    ASSERT_NO_THROW(RegisterTask(true));
    ASSERT_EQ(os::ScheduledTaskRegistered(kTaskName), true);
    // While the task's file is open without delete sharing the scheduler
    // cannot delete it, as when Windows refuses the user the delete.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring file = os::JoinPath(os::JoinPath(system, L"Tasks"), kTaskName);
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        RegisterTask(false);
        GTEST_SKIP() << "the task's file cannot be held here";
    }
    try {
        RegisterTask(false);
        ADD_FAILURE() << "the refused delete went unreported";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("exit code 1"), std::string::npos) << e.what();
    }
    CloseHandle(held);
    EXPECT_EQ(os::ScheduledTaskRegistered(kTaskName), true);
    EXPECT_NO_THROW(RegisterTask(false));
    EXPECT_EQ(os::ScheduledTaskRegistered(kTaskName), false);
#endif
}

}  // namespace
}  // namespace tesmora
