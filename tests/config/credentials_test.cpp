#include "config/credentials.h"

#include "config/local_data.h"
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

namespace tesmora {
namespace {

BackupSettings Settings() {
    std::random_device random;
    BackupSettings s;
    s.id = L"TEST-" + std::to_wstring(random()) + L"-" + std::to_wstring(random());
    s.host = L"vds.example.org";
    s.port = 2222;
    s.user = L"owner";
    s.fingerprint = L"SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU";
    return s;
}

TEST(CredentialTargetName, JoinsEverythingThePasswordBelongsTo) {
    BackupSettings s;
    s.id = L"G", s.host = L"H", s.port = 22, s.user = L"U", s.fingerprint = L"F";
    EXPECT_EQ(CredentialTargetName(s), L"Tesmora.SiteBackup/G/H:22/U/F");
    s.port = -1;
    EXPECT_EQ(CredentialTargetName(s), L"Tesmora.SiteBackup/G/H:-1/U/F");
}

TEST(Credentials, StoredPasswordReadsBackAndTheInputIsWiped) {
    const BackupSettings s = Settings();
    std::wstring password = L"пароль-Ω \U0001F511 \"x\"";
    const std::wstring expected = password;
    StorePassword(s, password);
    EXPECT_TRUE(password.empty());
    std::wstring read = ReadStoredPassword(s);
    EXPECT_EQ(read, expected);
    WipeString(read);
    EXPECT_TRUE(read.empty());
}

TEST(Credentials, EmptyPasswordNeverReplacesAStoredOne) {
    const BackupSettings s = Settings();
    std::wstring empty;
    StorePassword(s, empty);
    EXPECT_THROW(ReadStoredPassword(s), Error);
    std::wstring password = L"first";
    StorePassword(s, password);
    StorePassword(s, empty);
    EXPECT_EQ(ReadStoredPassword(s), L"first");
}

TEST(Credentials, AnyChangedConnectionDetailNeedsThePasswordAgain) {
    const BackupSettings s = Settings();
    std::wstring password = L"secret";
    StorePassword(s, password);
    for (auto change : std::vector<void (*)(BackupSettings&)>{
             [](BackupSettings& b) { b.port = 22; }, [](BackupSettings& b) { b.fingerprint += L"x"; },
             [](BackupSettings& b) { b.host = L"other"; }, [](BackupSettings& b) { b.user = L"other"; },
             [](BackupSettings& b) { b.id += L"2"; }}) {
        BackupSettings changed = s;
        change(changed);
        try {
            ReadStoredPassword(changed);
            ADD_FAILURE() << "found a password stored for other settings";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "Enter and save the VDS password on this Windows account first");
        }
    }
}

TEST(Credentials, PasswordSurvivesTheProcessAndNeverLandsInOurFiles) {
    const BackupSettings s = Settings();
    // Made at run time, so the test program's own bytes cannot contain it.
    std::wstring password = L"Сложный-пароль-" + std::to_wstring(std::random_device()());
    const std::wstring expected = password;
    StorePassword(s, password);

    // A second process reads it under the same settings.
    testing::TempDir dir;
    const std::wstring out = dir.file(L"read.txt");
    auto child = os::ChildProcess::Start(testing::TestProgramPath(),
                                         {L"--read-password", s.id, s.host, std::to_wstring(s.port), s.user,
                                          s.fingerprint, out});
    int exitCode = -1;
    ASSERT_TRUE(child.waitFor(std::chrono::seconds(60), exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(testing::ReadBytes(out), ToUtf8(expected));

    // Saving the settings it belongs to puts not a byte of it on the drive or
    // in the local data directory, in either encoding.
    BackupSettings withDrive = s;
    withDrive.drive_root = dir.file(L"drive");
    withDrive.device = L"NO-HARDWARE-SERIAL/VOL-1";
    SaveSettings(withDrive);
    for (const std::wstring& folder : {withDrive.drive_root, LocalDataDirectory()}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(os::FsPath(folder))) {
            if (!entry.is_regular_file()) continue;
            const std::string bytes = testing::ReadBytes(os::FromFsPath(entry.path()));
            EXPECT_EQ(bytes.find(ToUtf8(expected)), std::string::npos) << entry.path().string();
            EXPECT_EQ(bytes.find(Utf16LeBytes(expected)), std::string::npos) << entry.path().string();
        }
    }
}

}  // namespace
}  // namespace tesmora
