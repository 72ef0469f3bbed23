#include "device/binding.h"

#include "config/ini_file.h"
#include "os/error.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora {
namespace {

using testing::TempDir;

const std::wstring kIdentity = L"NO-HARDWARE-SERIAL/VOL-1a2b3c4d";
const std::wstring kId = L"0F8FAD5B-D9CB-469F-A165-70867728950E";

// A folder that plays a drive root, carrying device.ini with `id` (none when empty).
std::wstring Drive(const TempDir& dir, const std::wstring& name, const std::wstring& id) {
    const std::wstring root = dir.file(name);
    std::filesystem::create_directories(os::FsPath(root));
    if (!id.empty()) WriteIniFile(DeviceFilePath(root), {{L"id", id}});
    return root;
}

TEST(ResolveBoundDrive, FindsTheBoundDriveUnderAnyLetter) {
    TempDir dir;
    const std::wstring bound = Drive(dir, L"g", kId);
    const std::wstring other = Drive(dir, L"e", L"another-id");
    std::vector<DriveInfo> drives{{other, L"XK42/VOL-1", L"", L"", 0, 0}, {bound, kIdentity, L"", L"", 0, 0}};
    EXPECT_EQ(ResolveBoundDrive(drives, kIdentity, kId), bound);
}

TEST(ResolveBoundDrive, RefusesToChooseBetweenLookAlikes) {
    TempDir dir;
    std::vector<DriveInfo> drives{{Drive(dir, L"e", kId), kIdentity, L"", L"", 0, 0},
                                  {Drive(dir, L"f", kId), kIdentity, L"", L"", 0, 0}};
    try {
        ResolveBoundDrive(drives, kIdentity, kId);
        FAIL() << "chose one of two look-alike drives";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Ambiguous device identity; reconnect only the intended drive");
    }
}

TEST(ResolveBoundDrive, OnlyTheDriveWithTheRightIdQualifies) {
    TempDir dir;
    const std::wstring right = Drive(dir, L"f", kId);
    std::vector<DriveInfo> drives{{Drive(dir, L"e", L"stale-id"), kIdentity, L"", L"", 0, 0},
                                  {right, kIdentity, L"", L"", 0, 0},
                                  {Drive(dir, L"g", L""), kIdentity, L"", L"", 0, 0}};
    EXPECT_EQ(ResolveBoundDrive(drives, kIdentity, kId), right);
}

TEST(ResolveBoundDrive, NothingQualifiesWithoutMatchingIdentityAndDeviceFile) {
    TempDir dir;
    const std::wstring root = Drive(dir, L"e", kId);
    const std::vector<DriveInfo> drives{{root, kIdentity, L"", L"", 0, 0}};
    EXPECT_EQ(ResolveBoundDrive(drives, L"NO-HARDWARE-SERIAL/VOL-1A2B3C4D", kId), L"");  // case matters
    EXPECT_EQ(ResolveBoundDrive(drives, L"NO-HARDWARE-SERIAL/VOL-99", kId), L"");        // reformatted
    EXPECT_EQ(ResolveBoundDrive(drives, L"", L""), L"");
    std::filesystem::remove_all(os::FsPath(os::JoinPath(root, L"Tesmora_Site_Backup")));
    EXPECT_EQ(ResolveBoundDrive(drives, kIdentity, kId), L"");  // program folder deleted
    EXPECT_EQ(ResolveBoundDrive({}, kIdentity, kId), L"");
}

TEST(ResolveBoundDrive, UnreadableDeviceFileReadsAsEmpty) {
    TempDir dir;
    const std::wstring folderInstead = Drive(dir, L"e", L"");
    std::filesystem::create_directories(os::FsPath(DeviceFilePath(folderInstead)));  // a folder, not a file
    const std::wstring garbage = Drive(dir, L"f", L"");
    testing::WriteBytes(DeviceFilePath(garbage), std::string("\xFF\xFE\x00\xD8[\x00", 6));
    const std::vector<DriveInfo> drives{{folderInstead, kIdentity, L"", L"", 0, 0}, {garbage, kIdentity, L"", L"", 0, 0}};
    EXPECT_EQ(ResolveBoundDrive(drives, kIdentity, kId), L"");
}

}  // namespace
}  // namespace tesmora
