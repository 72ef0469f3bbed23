#include "app/program.h"

#include "device/drives.h"
#include "os/os.h"

#include <gtest/gtest.h>

namespace tesmora::app {
namespace {

TEST(DecideSettingsRoot, FollowsWhereTheExecutableRuns) {
    int resolverCalls = 0;
    const auto resolver = [&] {
        ++resolverCalls;
        return std::wstring(L"G:\\");
    };
    const std::wstring localData = L"C:\\Users\\me\\AppData\\Local\\Tesmora\\SiteBackup";

    // The copy on the drive: settings.ini lies beside it.
    EXPECT_EQ(DecideSettingsRoot(L"/media/stick/Tesmora_Site_Backup", localData, true, resolver), L"/media/stick");
    // The copy the scheduled task starts: the binding finds the drive.
    EXPECT_EQ(DecideSettingsRoot(L"C:/Users/me/AppData/Local/Tesmora/SiteBackup", localData, false, resolver), L"G:\\");
    EXPECT_EQ(resolverCalls, 1);
    // Anywhere else: no settings.
    EXPECT_EQ(DecideSettingsRoot(L"/home/me/Downloads", localData, false, resolver), L"");
    EXPECT_EQ(resolverCalls, 1);
}

TEST(DevicesJson, StaysValidJsonWhateverTheIdentityHolds) {
    EXPECT_EQ(DevicesJson({}), "[]");
    const std::vector<DriveInfo> drives{
        {L"E:\\", L"NO-HARDWARE-SERIAL/VOL-1a2b3c4d", L"BACKUP", L"NTFS", 1, 1},
        {L"G:\\", L"A\"B\\C\tD\x01Ж/VOL-0", L"", L"", 1, 1},
    };
    EXPECT_EQ(DevicesJson(drives),
              "[{\"root\":\"E:\\\\\",\"serial\":\"NO-HARDWARE-SERIAL/VOL-1a2b3c4d\"},"
              "{\"root\":\"G:\\\\\",\"serial\":\"A\\\"B\\\\C\\u0009D\\u0001\xD0\x96/VOL-0\"}]");
}

}  // namespace
}  // namespace tesmora::app
