#include "app/local_data.h"

#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora::app {
namespace {

TEST(LocalDataDirectory, LivesUnderTheUsersLocalDataAndIsRecreated) {
    const std::wstring expected = os::JoinPath(os::JoinPath(os::LocalAppDataFolder(), L"Tesmora"), L"SiteBackup");
    EXPECT_EQ(LocalDataDirectory(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(os::FsPath(expected)));

    std::filesystem::remove_all(os::FsPath(expected));
    EXPECT_FALSE(testing::Exists(expected));
    EXPECT_EQ(LocalDataDirectory(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(os::FsPath(expected)));
}

}  // namespace
}  // namespace tesmora::app
