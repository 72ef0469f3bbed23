#include "ui/form.h"

#include "os/error.h"

#include <gtest/gtest.h>

#include <regex>

namespace tesmora::ui {
namespace {

DriveInfo Drive(const std::wstring& root, const std::wstring& identity, const std::wstring& label = L"BACKUP") {
    return DriveInfo{root, identity, label, L"exFAT", 58ULL << 30, 41ULL << 30};
}

TEST(DriveLineText, ShowsSizesAndAShortIdentity) {
    EXPECT_EQ(DriveLineText(Drive(L"F:\\", L"0123456789ABCDEF/VOL-5e2f1a3c")),
              L"F:\\  BACKUP | 58 ГиБ, exFAT | свободно 41 ГиБ | S/N 0123456789ABCDEF");
    EXPECT_EQ(DriveLineText(Drive(L"E:\\", L"FFFF_FFFF_FFFF_FFFF./VOL-5e2f1a3c")),
              L"E:\\  BACKUP | 58 ГиБ, exFAT | свободно 41 ГиБ | том 5e2f1a3c");
    DriveInfo small = Drive(L"G:\\", L"NO-HARDWARE-SERIAL/VOL-beef", L"");
    small.total_bytes = 999999999;
    small.free_bytes = 0;
    EXPECT_EQ(DriveLineText(small), L"G:\\  Без названия | 0 ГиБ, exFAT | свободно 0 ГиБ | том beef");
}

TEST(PreselectedDrive, PrefersTheBoundDriveElseTheFirst) {
    const std::vector<DriveInfo> drives{Drive(L"D:\\", L"A/VOL-1"), Drive(L"E:\\", L"B/VOL-2"),
                                        Drive(L"F:\\", L"B/VOL-2")};
    EXPECT_EQ(PreselectedDrive(drives, L"B/VOL-2"), 2);  // the last equal identity wins
    EXPECT_EQ(PreselectedDrive(drives, L"missing"), 0);
    EXPECT_EQ(PreselectedDrive({}, L"A/VOL-1"), -1);
}

TEST(ReadForm, TurnsTheControlsIntoSettings) {
    BackupSettings current;
    current.fingerprint = L"kept-if-unchanged";
    const std::vector<DriveInfo> drives{Drive(L"D:\\", L"A/VOL-1"), Drive(L"E:\\", L"B/VOL-2")};
    FormFields form;
    form.selection = 1;
    form.host = L"  vds.example.org\t";
    form.port = L"2222";
    form.user = L" site owner \r\n";
    form.fingerprint = L" SHA256:abc ";
    form.paths = L"/var/www\r\n\r\n  /etc/nginx  \n/var/www\n";
    form.hours = L"6";
    form.keep = L"";
    form.automatic = true;
    const BackupSettings s = ReadForm(current, drives, form);
    EXPECT_EQ(s.drive_root, L"E:\\");
    EXPECT_EQ(s.device, L"B/VOL-2");
    EXPECT_TRUE(std::regex_match(s.id, std::wregex(L"[0-9A-F-]{36}")));
    EXPECT_EQ(s.host, L"vds.example.org");
    EXPECT_EQ(s.port, 2222);
    EXPECT_EQ(s.user, L"site owner");
    EXPECT_EQ(s.fingerprint, L"SHA256:abc");
    EXPECT_EQ(s.paths, (std::vector<std::wstring>{L"/var/www", L"/etc/nginx", L"/var/www"}));
    EXPECT_EQ(s.hours, 6);
    EXPECT_EQ(s.keep, 0);
    EXPECT_TRUE(s.automatic);

    current.id = L"EXISTING";
    EXPECT_EQ(ReadForm(current, drives, form).id, L"EXISTING");  // an id is never replaced
    form.port = L"";
    EXPECT_EQ(ReadForm(current, drives, form).port, 0);
    form.port = L"4294967295";
    EXPECT_EQ(ReadForm(current, drives, form).port, -1);
}

TEST(ReadForm, NeedsASelectedDrive) {
    FormFields form;
    for (int selection : {-1, 2}) {
        form.selection = selection;
        try {
            ReadForm(BackupSettings{}, {Drive(L"D:\\", L"A/VOL-1"), Drive(L"E:\\", L"B/VOL-2")}, form);
            ADD_FAILURE() << "read a form without a drive";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "Select a mounted drive");
        }
    }
}

TEST(PathsBoxText, EndsEveryPathWithCrLf) {
    EXPECT_EQ(PathsBoxText({}), L"");
    EXPECT_EQ(PathsBoxText({L"/a", L"/b"}), L"/a\r\n/b\r\n");
}

TEST(BusyFlag, LetsOneOperationRunAtATime) {
    BusyFlag busy;
    EXPECT_NO_THROW(busy.requireIdle());
    EXPECT_TRUE(busy.tryStart());
    EXPECT_FALSE(busy.tryStart());
    try {
        busy.requireIdle();
        FAIL() << "a second operation was allowed";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Wait for the active operation");
    }
    busy.finish();
    EXPECT_TRUE(busy.tryStart());
}

}  // namespace
}  // namespace tesmora::ui
