// The native stand-in for the Windows INI reader must read what the program
// writes and what a person may have edited, the way Windows reads it.
#include "os/posix/profile.h"

#include <gtest/gtest.h>

namespace tesmora::os {
namespace {

TEST(ProfileReader, DecodesUtf16WithMarkAndUtf8) {
    EXPECT_EQ(DecodeProfileBytes(std::string("\xFF\xFE[\0b\0]\0\x2F\x04", 10)), L"[b]Я");
    EXPECT_EQ(DecodeProfileBytes("\xEF\xBB\xBFk=\xD0\xAF"), L"k=Я");
    EXPECT_EQ(DecodeProfileBytes("k=v"), L"k=v");
    EXPECT_EQ(DecodeProfileBytes(std::string("\xFF\xFEk\0=", 5)), L"k");  // odd trailing byte dropped
}

TEST(ProfileReader, FindsKeysOfTheRightSectionLikeWindows) {
    const std::wstring text =
        L"[other]\r\nhost=wrong\r\n"
        L"[ Backup ]\r\n; comment\r\n  HOST = example.org  \r\nhost=second\r\nquoted=\"a b\"\r\nempty=\r\nnoequals\r\n"
        L"[next]\r\nlate=yes\r\n";
    EXPECT_EQ(FindProfileValue(text, L"backup", L"host"), L"example.org");
    EXPECT_EQ(FindProfileValue(text, L"backup", L"quoted"), L"a b");
    EXPECT_EQ(FindProfileValue(text, L"backup", L"empty"), L"");
    EXPECT_FALSE(FindProfileValue(text, L"backup", L"late").has_value());
    EXPECT_FALSE(FindProfileValue(text, L"backup", L"missing").has_value());
    EXPECT_FALSE(FindProfileValue(text, L"backup", L"noequals").has_value());
    EXPECT_FALSE(FindProfileValue(L"host=x\r\n", L"backup", L"host").has_value());
    EXPECT_EQ(FindProfileValue(L"[backup]\nport=22", L"backup", L"port"), L"22");  // bare LF, no final line end
}

}  // namespace
}  // namespace tesmora::os
