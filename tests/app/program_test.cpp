#include "app/program.h"

#include "device/drives.h"
#include "os/os.h"

#include <gtest/gtest.h>

namespace tesmora::app {
namespace {

TEST(ParseMode, MatchesWholeCaseSensitiveNames) {
    const std::wstring exe = L"TesmoraBackup.exe";
    EXPECT_EQ(ParseMode({exe, L"--devices"}), Mode::Devices);
    EXPECT_EQ(ParseMode({exe, L"--self-test", L"out.txt"}), Mode::SelfTest);
    EXPECT_EQ(ParseMode({exe, L"--check"}), Mode::Check);
    EXPECT_EQ(ParseMode({exe, L"--install", L"a", L"b", L"c"}), Mode::Install);
    EXPECT_EQ(ParseMode({exe, L"--backup-now"}), Mode::BackupNow);
    EXPECT_EQ(ParseMode({exe, L"--scheduled"}), Mode::Scheduled);
}

TEST(ParseMode, AnythingElseOpensTheWindow) {
    const std::wstring exe = L"TesmoraBackup.exe";
    EXPECT_EQ(ParseMode({exe}), Mode::Window);
    EXPECT_EQ(ParseMode({}), Mode::Window);
    for (const wchar_t* other : {L"--Self-Test", L"self-test", L"--self-test=1", L"-self-test", L"--self-test ",
                                 L"", L"--SCHEDULED", L"/scheduled", L"--backup", L"--devices\t"}) {
        EXPECT_EQ(ParseMode({exe, other}), Mode::Window);
    }
}

TEST(OutputPath, IsTheSecondArgumentWhenGiven) {
    EXPECT_FALSE(OutputPath({L"exe", L"--self-test"}).has_value());
    EXPECT_EQ(OutputPath({L"exe", L"--self-test", L"C:\\out.txt", L"ignored"}), L"C:\\out.txt");
    EXPECT_EQ(OutputPath({L"exe", L"--self-test", L""}), L"");
}

TEST(SamePath, ComparesElementsWithEitherSeparator) {
    EXPECT_TRUE(SamePath(L"C:\\Users\\me\\AppData\\Local\\Tesmora\\SiteBackup",
                         L"C:/Users/me//AppData\\\\Local/Tesmora/SiteBackup"));
    EXPECT_FALSE(SamePath(L"C:\\Users\\Me\\x", L"C:\\Users\\me\\x"));
    EXPECT_FALSE(SamePath(L"C:\\a\\b", L"C:\\a\\bc"));
    EXPECT_FALSE(SamePath(L"C:\\a", L"C:\\a\\b"));
}

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
