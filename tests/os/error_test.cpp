#include "os/error.h"

#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora {
namespace {

TEST(ErrorText, TheSystemsOwnReasonReachesTheMessageAsUtf8) {
    // A real failure: a folder that is not empty cannot be removed.
    testing::TempDir dir;
    const std::wstring folder = dir.file(L"папка");
    std::filesystem::create_directory(os::FsPath(folder));
    testing::WriteBytes(os::JoinPath(folder, L"file"), "x");
    std::error_code ec;
    std::filesystem::remove(os::FsPath(folder), ec);
    ASSERT_TRUE(ec);
    const std::wstring message = FromUtf8(FileSystemError("remove", folder, ec).what());
    EXPECT_EQ(message.find(L'\uFFFD'), std::wstring::npos) << ToUtf8(message);
    EXPECT_EQ(message.rfind(L"remove: " + folder + L": ", 0), 0u);
    // On a Russian system the reason is Russian, not question marks from the
    // ANSI code page.
    if (!testing::TestSetting("TESMORA_TEST_RUSSIAN_SYSTEM").empty()) {
        EXPECT_NE(message.find_first_of(L"абвгдеёжзийклмнопрстуфхцчшщъыьэюя", 8 + folder.size()), std::wstring::npos)
            << ToUtf8(message);
    }
}

}  // namespace
}  // namespace tesmora
