#include "schedule/task_registration.h"

#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(RegisterTask, DeletingATaskThatDoesNotExistIsNoError) {
    EXPECT_NO_THROW(RegisterTask(false));
    EXPECT_NO_THROW(RegisterTask(false));
}

}  // namespace
}  // namespace tesmora
