#include "config/ini_file.h"

#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora {
namespace {

using testing::ReadBytes;
using testing::TempDir;

std::string Utf16(const char* ascii) {
    std::string out;
    for (const char* p = ascii; *p != '\0'; ++p) {
        out.push_back(*p);
        out.push_back('\0');
    }
    return out;
}

TEST(IniFile, EntriesAreWrittenInOrderWithoutQuotingOrSpaces) {
    EXPECT_EQ(BuildIniContent({}), "\xFF\xFE" + Utf16("[backup]\r\n"));
    EXPECT_EQ(BuildIniContent({{L"id", L"abc"}, {L"host", L""}, {L"path0", L"/var/www a=b"}}),
              "\xFF\xFE" + Utf16("[backup]\r\nid=abc\r\nhost=\r\npath0=/var/www a=b\r\n"));
}

TEST(IniFile, ValuesRoundTripThroughThePlatformReaderAndReplaceTheFile) {
    TempDir dir;
    const std::wstring path = dir.file(L"a") + L"/b/settings.ini";
    WriteIniFile(path, {{L"host", L"old"}});
    WriteIniFile(path, {{L"host", L"example.org"}, {L"path0", L"/var/www/сайт"}, {L"empty", L""}});
    EXPECT_EQ(ReadIniValue(path, L"host", L"x"), L"example.org");
    EXPECT_EQ(ReadIniValue(path, L"path0", L"x"), L"/var/www/сайт");
    EXPECT_EQ(ReadIniValue(path, L"empty", L"x"), L"");
    EXPECT_EQ(ReadIniValue(path, L"missing", L"fallback"), L"fallback");
    EXPECT_EQ(ReadIniValue(dir.file(L"absent.ini"), L"host", L"fallback"), L"fallback");
    EXPECT_FALSE(testing::Exists(path + L".tmp"));
}

TEST(IniFile, VeryLongValuesAreCutTo32767Characters) {
    TempDir dir;
    const std::wstring path = dir.file(L"long.ini");
    WriteIniFile(path, {{L"path0", std::wstring(40000, L'x')}, {L"after", L"ok"}});
    EXPECT_EQ(ReadIniValue(path, L"path0", L""), std::wstring(32767, L'x'));
    EXPECT_EQ(ReadIniValue(path, L"after", L""), L"ok");
}

TEST(IniFile, ReadOnlyTargetKeepsItsContentAndReportsTheFailure) {
    TempDir dir;
    const std::wstring path = dir.file(L"settings.ini");
    WriteIniFile(path, {{L"host", L"old"}});
    const std::string before = ReadBytes(path);
    std::filesystem::permissions(os::FsPath(path), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    try {
        WriteIniFile(path, {{L"host", L"new"}});
        FAIL() << "replacing a read-only file succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Settings/state could not be saved");
    }
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(ReadIniValue(path, L"host", L""), L"old");
}

TEST(IniFile, UnwritableTemporaryFileIsReported) {
    TempDir dir;
    const std::wstring path = dir.file(L"settings.ini");
    std::filesystem::create_directory(os::FsPath(path + L".tmp"));  // a folder where the file should go
    try {
        WriteIniFile(path, {{L"host", L"new"}});
        FAIL() << "writing through a folder succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Settings close failed");
    }
    EXPECT_FALSE(testing::Exists(path));
}

TEST(IniFile, UncreatableFolderIsAFileSystemError) {
    TempDir dir;
    testing::WriteBytes(dir.file(L"file"), "x");
    try {
        WriteIniFile(dir.file(L"file") + L"/sub/settings.ini", {});
        FAIL() << "a folder was created below a file";
    } catch (const FileSystemError& e) {
        EXPECT_EQ(e.operation(), "create_directories");
    }
}

TEST(ParseUnsignedOr, FollowsTheDecimalParseOfTheCLibrary) {
    EXPECT_EQ(ParseUnsignedOr(L"22", 7), 22u);
    EXPECT_EQ(ParseUnsignedOr(L" 22", 7), 22u);
    EXPECT_EQ(ParseUnsignedOr(L"\t+22", 7), 22u);
    EXPECT_EQ(ParseUnsignedOr(L"0", 7), 0u);
    EXPECT_EQ(ParseUnsignedOr(L"-1", 7), 18446744073709551615u);
    EXPECT_EQ(ParseUnsignedOr(L"-0", 7), 0u);
    EXPECT_EQ(ParseUnsignedOr(L"18446744073709551615", 7), 18446744073709551615u);
    EXPECT_EQ(ParseUnsignedOr(L"4294967295", 7), 4294967295u);
}

TEST(ParseUnsignedOr, GivesTheFallbackForAnythingButOneNumber) {
    for (const wchar_t* text : {L"", L" ", L"abc", L"22 ", L"22x", L"2 2", L"+", L"-", L"0x10", L"18446744073709551616",
                                L"99999999999999999999999", L"--1", L"22\n", L"١٢"}) {
        EXPECT_EQ(ParseUnsignedOr(text, 7), 7u) << "input of " << std::wstring(text).size() << " characters";
    }
}

}  // namespace
}  // namespace tesmora
