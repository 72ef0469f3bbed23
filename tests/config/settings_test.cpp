#include "config/settings.h"

#include "config/local_data.h"
#include "config/ini_file.h"
#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tesmora {
namespace {

using testing::TempDir;

std::wstring SettingsFile(const std::wstring& root) {
    return os::JoinPath(os::JoinPath(root, layout::kProgramFolder), layout::kSettingsFile);
}

void WriteSettingsBytes(const std::wstring& root, const std::string& bytes) {
    std::filesystem::create_directories(os::FsPath(os::ParentPath(SettingsFile(root))));
    testing::WriteBytes(SettingsFile(root), bytes);
}

BackupSettings Valid(const std::wstring& root) {
    BackupSettings s;
    s.id = L"0F8FAD5B-D9CB-469F-A165-70867728950E";
    s.device = L"NO-HARDWARE-SERIAL/VOL-1a2b3c4d";
    s.host = L"vds.example.org";
    s.user = L"site owner";
    s.fingerprint = L"SHA256:abc";
    s.drive_root = root;
    return s;
}

void ExpectRejected(const BackupSettings& s, const char* message) {
    try {
        ValidateSettings(s);
        ADD_FAILURE() << "accepted; expected: " << message;
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

TEST(LoadSettings, MalformedValuesFallBackOneByOne) {
    TempDir dir;
    WriteIniFile(SettingsFile(dir.path()), {{L"port", L"22 "}, {L"hours", L"-1"}, {L"keep", L"4294967295"},
                                            {L"automatic", L"yes"}, {L"path_count", L"101"}, {L"path0", L"/x"}});
    BackupSettings s = LoadSettings(dir.path());
    EXPECT_EQ(s.port, 22);
    EXPECT_EQ(s.hours, -1);  // low 32 bits, read as signed
    EXPECT_EQ(s.keep, -1);
    EXPECT_FALSE(s.automatic);
    EXPECT_EQ(s.paths.size(), 3u);

    WriteIniFile(SettingsFile(dir.path()), {{L"port", L"0"}, {L"automatic", L"1"}, {L"path_count", L"0"}});
    s = LoadSettings(dir.path());
    EXPECT_EQ(s.port, 0);
    EXPECT_TRUE(s.automatic);
    EXPECT_EQ(s.paths.size(), 3u);

    WriteIniFile(SettingsFile(dir.path()), {{L"automatic", L""}, {L"path_count", L"2"}, {L"path0", L"/srv/site"}});
    s = LoadSettings(dir.path());
    EXPECT_FALSE(s.automatic);
    EXPECT_EQ(s.paths, (std::vector<std::wstring>{L"/srv/site", L""}));
    ExpectRejected(s, "Invalid settings: they have no id; save them again in the settings window");
}

TEST(LoadSettings, DamagedFilesNeverFail) {
    TempDir dir;
    // Truncated in the middle of a UTF-16 code unit and of a line.
    std::string bytes = BuildIniContent({{L"host", L"vds.example.org"}, {L"port", L"2222"}});
    WriteSettingsBytes(dir.path(), bytes.substr(0, bytes.size() - 5));
    BackupSettings s = LoadSettings(dir.path());
    EXPECT_EQ(s.host, L"vds.example.org");
    // The cut line reads as some number or not at all; it never fails.
    EXPECT_TRUE(s.port == 22 || s.port == 222 || s.port == 2222) << s.port;

    WriteSettingsBytes(dir.path(), "[backup]\r\nhost=plain.example\r\nport=abc\r\n");  // no byte-order mark
    s = LoadSettings(dir.path());
    EXPECT_EQ(s.port, 22);
    WriteSettingsBytes(dir.path(), std::string("\xFF\xFE\x00\xD8\x00\x00", 6));  // garbage
    EXPECT_NO_THROW(LoadSettings(dir.path()));
    WriteIniFile(SettingsFile(dir.path()), {{L"host", std::wstring(40000, L'h')}});
    EXPECT_EQ(LoadSettings(dir.path()).host.size(), 32767u);
}

TEST(ValidateSettings, ChecksTheRulesInOrder) {
    TempDir dir;
    EXPECT_NO_THROW(ValidateSettings(Valid(dir.path())));
    auto s = Valid(dir.path());
    s.port = 65535, s.hours = 8760, s.keep = 365;
    EXPECT_NO_THROW(ValidateSettings(s));
    s.paths = {L"/var/www/"};
    EXPECT_NO_THROW(ValidateSettings(s));

    const std::pair<void (*)(BackupSettings&), std::string> broken[] = {
        {[](BackupSettings& b) { b.id.clear(); }, "Invalid settings: they have no id; save them again in the settings window"},
        {[](BackupSettings& b) { b.host.clear(); }, "Invalid host: it is empty"},
        {[](BackupSettings& b) { b.user.clear(); }, "Invalid user: it is empty"},
        {[](BackupSettings& b) { b.user = L"a\nb"; }, "Invalid user: it holds a line break"},
        {[](BackupSettings& b) { b.port = 0; }, "Invalid port 0: use 1 to 65535"},
        {[](BackupSettings& b) { b.port = 65536; }, "Invalid port 65536: use 1 to 65535"},
        {[](BackupSettings& b) { b.hours = 0; }, "Invalid interval 0 hours: use 1 to 8760"},
        {[](BackupSettings& b) { b.hours = 8761; }, "Invalid interval 8761 hours: use 1 to 8760"},
        {[](BackupSettings& b) { b.keep = -1; }, "Invalid retention of -1 copies: use 0 to 365"},
        {[](BackupSettings& b) { b.keep = 366; }, "Invalid retention of 366 copies: use 0 to 365"}};
    for (const auto& [change, message] : broken) {
        s = Valid(dir.path());
        change(s);
        s.paths.clear();  // a later rule also broken: the first one reports
        ExpectRejected(s, message.c_str());
    }
    for (const wchar_t* host : {L"a b", L"a\tb", L"a\r", L"\nb"}) {
        s = Valid(dir.path());
        s.host = host;
        ExpectRejected(s, "Invalid host: it holds a space or a line break");
    }
    s = Valid(dir.path());
    s.paths.clear();
    ExpectRejected(s, "Select 1..100 source paths");
    s.paths.assign(101, L"/var/www");
    ExpectRejected(s, "Select 1..100 source paths");
    for (const wchar_t* path : {L"", L"var/www", L"/", L"/var\n/www", L"\\var"}) {
        s = Valid(dir.path());
        s.paths = {L"/etc", path};
        ExpectRejected(s, "Use absolute Linux paths, one per line; / is not allowed");
    }
    s = Valid(dir.path());
    s.databases = {L"mysql:wp_site", L"postgresql:магазин-1"};
    EXPECT_NO_THROW(ValidateSettings(s));
    for (const wchar_t* entry : {L"mysql:", L"wp_site", L"sqlite:x", L"MySQL:x", L"postgresql:a/b", L"mysql:a\tb",
                                 L"mysql:0123456789012345678901234567890123456789012345678901234567890123456789"}) {
        s.databases = {L"mysql:ok", entry};
        ExpectRejected(s, "Name databases as mysql:NAME or postgresql:NAME, one per line");
    }
}

TEST(SaveSettings, RejectedSettingsWriteNothing) {
    TempDir dir;
    auto s = Valid(dir.path());
    s.paths = {L"/"};
    EXPECT_THROW(SaveSettings(s), Error);
    EXPECT_TRUE(std::filesystem::is_empty(os::FsPath(dir.path())));
}

TEST(SaveSettings, WritesEveryFileAndLoadsBackTheSame) {
    TempDir dir;
    auto s = Valid(dir.path());
    s.port = 2222, s.hours = 6, s.keep = 30, s.automatic = false;
    s.paths = {L"/var/www/сайт", L"/etc/nginx"};
    s.databases = {L"postgresql:shop"};
    s.detectDatabases = false;
    SaveSettings(s);

    const std::wstring program = os::JoinPath(dir.path(), layout::kProgramFolder);
    EXPECT_TRUE(std::filesystem::is_directory(os::FsPath(os::JoinPath(dir.path(), layout::kBackupFolder))));
    EXPECT_EQ(ReadIniValue(os::JoinPath(program, L"device.ini"), L"id", L""), s.id);
    EXPECT_EQ(testing::ReadBytes(SettingsFile(dir.path())), BuildIniContent(SettingsEntries(s)));
    const std::wstring binding = os::JoinPath(LocalDataDirectory(), L"binding.ini");
    EXPECT_EQ(testing::ReadBytes(binding), BuildIniContent({{L"id", s.id}, {L"device", s.device}}));
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(program, L"TesmoraBackup.exe")),
              testing::ReadBytes(os::ExecutablePath()));
    EXPECT_TRUE(testing::Exists(os::JoinPath(LocalDataDirectory(), L"TesmoraBackup.exe")));

    const BackupSettings loaded = LoadSettings(dir.path());
    EXPECT_EQ(SettingsEntries(loaded), SettingsEntries(s));
    EXPECT_EQ(loaded.databases, s.databases);
    EXPECT_FALSE(loaded.detectDatabases);

    // Settings without calendar tiers name none, as before they existed; set ones come back.
    for (const auto& entry : SettingsEntries(s)) EXPECT_EQ(entry.first.rfind(L"keep_", 0), std::wstring::npos);
    s.keepDaily = 7, s.keepMonthly = 12, s.fitHistory = true;
    SaveSettings(s);
    const BackupSettings tiered = LoadSettings(dir.path());
    EXPECT_EQ((std::vector<int>{tiered.keep, tiered.keepDaily, tiered.keepWeekly, tiered.keepMonthly, tiered.keepYearly}),
              (std::vector<int>{30, 7, 0, 12, 0}));
    EXPECT_TRUE(tiered.fitHistory);
    s.keepWeekly = 1001;
    ExpectRejected(s, "Invalid retention of keep_weekly=1001: use 0 to 1000");
}

TEST(CopyProgramTo, NeverCopiesTheProgramOntoItsOwnFolder) {
    const std::wstring here = os::ParentPath(os::ExecutablePath());
    const std::wstring sameFolderOtherName = os::JoinPath(here, L"copy-that-must-not-appear.exe");
    CopyProgramTo(sameFolderOtherName);
    EXPECT_FALSE(testing::Exists(sameFolderOtherName));

    TempDir dir;
    CopyProgramTo(dir.file(L"TesmoraBackup.exe"));
    EXPECT_EQ(testing::ReadBytes(dir.file(L"TesmoraBackup.exe")), testing::ReadBytes(os::ExecutablePath()));
    try {
        CopyProgramTo(dir.file(L"missing") + L"/TesmoraBackup.exe");
        FAIL() << "copied into a folder that does not exist";
    } catch (const FileSystemError& e) {
        EXPECT_EQ(e.operation(), "copy_file");
    }
}

}  // namespace
}  // namespace tesmora
