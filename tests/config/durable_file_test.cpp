#include "config/durable_file.h"

#include "os/text.h"
#include "os/error.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora {
namespace {

using testing::ReadBytes;
using testing::TempDir;

TEST(WriteWholeFile, WritesTheBytesUnchangedAndTruncates) {
    TempDir dir;
    const std::wstring path = dir.file(L"out.txt");
    WriteWholeFile(path, std::string("first line\nsecond line that is longer\n"));
    WriteWholeFile(path, std::string("a\nb\0c", 5));
    EXPECT_EQ(ReadBytes(path), std::string("a\nb\0c", 5));
}

TEST(WriteWholeFile, MissingFolderNamesThePath) {
    TempDir dir;
    const std::wstring path = dir.file(L"missing") + L"/отчёт.txt";
    try {
        WriteWholeFile(path, "x");
        FAIL() << "wrote into a folder that does not exist";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot write: " + ToUtf8(path));
    }
}

TEST(FlushFileToDisk, MissingFileCannotBeFlushed) {
    TempDir dir;
    try {
        FlushFileToDisk(dir.file(L"absent"));
        FAIL() << "flushed a file that does not exist";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot flush destination file");
    }
}

TEST(IsReparsePoint, PlainEntriesAreNotRedirectedButMissingOnesAre) {
    TempDir dir;
    testing::WriteBytes(dir.file(L"file"), "x");
    std::filesystem::create_directory(os::FsPath(dir.file(L"folder")));
    EXPECT_FALSE(IsReparsePoint(dir.file(L"file")));
    EXPECT_FALSE(IsReparsePoint(dir.file(L"folder")));
    EXPECT_FALSE(IsReparsePoint(dir.path()));
    EXPECT_TRUE(IsReparsePoint(dir.file(L"absent")));
}

}  // namespace
}  // namespace tesmora
