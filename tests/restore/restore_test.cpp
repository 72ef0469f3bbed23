#include "restore/restore.h"

#include "archive/archive_maker.h"
#include "crypto/age.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "restore/restore_names.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <filesystem>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

std::wstring Path(std::initializer_list<const wchar_t*> parts) {
    std::wstring path;
    for (const wchar_t* part : parts) path = path.empty() ? part : os::JoinPath(path, part);
    return path;
}

TEST(RestoreNames, WhatWindowsCannotHoldGetsAPredictableName) {
    const struct {
        std::string name;
        std::wstring path;
        bool renamed;
    } cases[] = {
        {"var/www/сайт", Path({L"var", L"www", L"сайт"}), false},
        {"./var/", Path({L"var"}), false},
        {"x/a:b?<c>|\"*.txt", Path({L"x", L"a%3Ab%3F%3Cc%3E%7C%22%2A.txt"}), true},
        {"x/back\\slash\x01", Path({L"x", L"back%5Cslash%01"}), true},
        {"x/trailing.", Path({L"x", L"trailing%2E"}), true},
        {"x/space ", Path({L"x", L"space%20"}), true},
        {"x/\xff\xfe.txt", Path({L"x", L"%FF%FE.txt"}), true},
        {"CON/con.txt", Path({L"CON_", L"con_.txt"}), true},
        {"x/Lpt9.log", Path({L"x", L"Lpt9_.log"}), true},
        {"x/COM10", Path({L"x", L"COM10"}), false},
        {"x/COM\xC2\xB9", Path({L"x", L"COM\u00B9_"}), true},
        {"x/lpt\xC2\xB3.txt", Path({L"x", L"lpt\u00B3_.txt"}), true},
        {"x/CON .txt", Path({L"x", L"CON_ .txt"}), true},
        {"x/conin$", Path({L"x", L"conin$_"}), true},
        {"x/CONOUT$.log", Path({L"x", L"CONOUT$_.log"}), true},
        {"x/50%25.jpg", Path({L"x", L"50%25.jpg"}), false},
    };
    for (const auto& c : cases) {
        const auto mapped = MapArchiveName(c.name);
        ASSERT_TRUE(mapped) << c.name;
        EXPECT_EQ(mapped->path, c.path) << c.name;
        EXPECT_EQ(mapped->renamed, c.renamed) << c.name;
    }
    for (const char* refused : {"/etc/passwd", "a/../../b", "..", "", "./"}) EXPECT_FALSE(MapArchiveName(refused));
    EXPECT_EQ(NumberedName(Path({L"a.b", L"README"}), 2), Path({L"a.b", L"README (2)"}));
    EXPECT_EQ(NumberedName(L"x.tar.gz", 3), L"x.tar (3).gz");
}

class Restoring : public ::testing::Test {
protected:
    std::wstring In(const std::wstring& relative) const { return os::JoinPath(target_, relative); }
    std::string Report() const { return testing::ReadBytes(In(kRestoreReportName)); }

    testing::TempDir dir_;
    std::wstring snapshot_ = dir_.file(L"snapshot");
    std::wstring target_ = dir_.file(L"восстановлено");
};

TEST(DumpLoadText, GivesTheCommandThatLoadsEachDumpWithNamesQuoted) {
    EXPECT_EQ(DumpLoadText("__Tesmora_Backup__/databases/mysql-wp_site.sql"),
              L"дамп базы данных wp_site загружается в пустую базу (имя можно взять другое) командой: mysql "
              L"--default-character-set=utf8mb4 'wp_site' < '__Tesmora_Backup__/databases/mysql-wp_site.sql'");
    EXPECT_EQ(DumpLoadText("__Tesmora_Backup__/databases/postgresql-o'shop.sql"),
              L"дамп базы данных o'shop загружается в пустую базу (имя можно взять другое) командой: psql -v "
              L"ON_ERROR_STOP=1 -d 'o'\\''shop' -f '__Tesmora_Backup__/databases/postgresql-o'\\''shop.sql'");
}

TEST_F(Restoring, EverythingLandsInsideTheTargetWithItsTimesAndOnlySafeLinks) {
    using testing::Member;
    testing::WriteSnapshot(snapshot_, L"ID", testing::ArchiveOf({
        {"srv/site", "", 'd', "", 1500000000},
        {"srv/site/index.html", "<h1>", 'f', "", 1600000000},
        {"srv/site/страница.html", "Привет"},
        {"srv/site/a:b?.txt", "odd"},
        {"srv/site/CON", "device"},
        {"srv/site/Readme", "first"},
        {"srv/site/README", "second"},
        {"srv/site/hard", "", 'h', "srv/site/index.html"},
        {"srv/site/latest", "", 's', "index.html"},
        {"srv/site/up", "", 's', "../../../../etc"},
        {"srv/site/absolute", "", 's', "/etc/passwd"},
        {"srv/site/trap", "", 's', "../../../outside"},
        {"srv/site/trap/inside.txt", "kept inside"},
        {".//x//deep", "", 's', "../../../../etc"},
        {"x/l", "", 's', ".."},
        {"x/l/esc", "", 's', "../.."},
        {"m", "", 's', "x/l/../.."},  // ".." after a link leaves from where the link leads
        {"x/Hard", "", 'h', "srv/site/index.html"},
        {"x/HARD", "", 'h', "srv/site/index.html"},
        {"../escape.txt", "no"},
        {"/absolute.txt", "no"},
    }));
    const RestoreResult result = RestoreSnapshot(snapshot_, target_);
    const std::wstring site = Path({L"srv", L"site"});
    const auto content = [&](const wchar_t* name) { return testing::ReadBytes(In(os::JoinPath(site, name))); };
    EXPECT_EQ(content(L"index.html"), "<h1>");
    EXPECT_EQ(content(L"страница.html"), "Привет") << Report();
    EXPECT_EQ(content(L"a%3Ab%3F.txt"), "odd");
    EXPECT_EQ(content(L"CON_"), "device");
    EXPECT_EQ(content(L"hard"), "<h1>");
    EXPECT_EQ(testing::ReadBytes(In(Path({L"x", L"Hard"}))), "<h1>");
    EXPECT_TRUE(testing::Exists(In(Path({L"x", L"HARD"}))) || testing::Exists(In(Path({L"x", L"HARD (2)"}))));
    EXPECT_EQ(content(L"Readme"), "first");  // a case-blind file system numbers the second
    EXPECT_TRUE(content(L"README") == "second" || content(L"README (2)") == "second");
    EXPECT_EQ(testing::ReadBytes(In(Path({L"srv", L"site", L"trap", L"inside.txt"}))), "kept inside");
    const auto written = fs::last_write_time(os::FsPath(In(os::JoinPath(site, L"index.html"))));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::file_clock::to_sys(written).time_since_epoch()).count(),
              1600000000);

    // Nothing outside the target, and every refusal in the report.
    EXPECT_FALSE(testing::Exists(dir_.file(L"escape.txt")));
    EXPECT_EQ(std::distance(fs::directory_iterator(os::FsPath(dir_.path())), fs::directory_iterator()), 2);
    const std::string report = Report();
    EXPECT_EQ(report.rfind("\xEF\xBB\xBF", 0), 0u);
    for (const char* line : {"пропущено: «../escape.txt»", "пропущено: «/absolute.txt»",
                             "ссылка не создана (ведёт за пределы папки): «srv/site/up» -> ../../../../etc",
                             "ссылка не создана (ведёт за пределы папки): «srv/site/absolute» -> /etc/passwd",
                             "ссылка не создана (ведёт за пределы папки): «srv/site/trap» -> ../../../outside",
                             "ссылка не создана (ведёт за пределы папки): «.//x//deep» -> ../../../../etc",
                             "ссылка не создана (ведёт за пределы папки): «x/l/esc» -> ../..",
                             "ссылка не создана (ведёт за пределы папки): «m» -> x/l/../..",
                             "переименовано: «srv/site/a:b?.txt» -> "}) {
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
    // A link that stays inside is made where the system allows it, else listed.
    const bool linked = fs::is_symlink(os::FsPath(In(os::JoinPath(site, L"latest"))));
    EXPECT_EQ(linked, report.find("ссылка не создана: «srv/site/latest» -> index.html") == std::string::npos);
    EXPECT_EQ(result.linksNotCreated, linked ? 6u : 8u);
    EXPECT_EQ(result.skipped, 2u);
    EXPECT_EQ(result.hardLinks + result.files, 11u);  // copies where the file system has no hard links
    EXPECT_TRUE(result.archiveIntact);
    EXPECT_EQ(report.substr(report.size() - 2), "\r\n");
    EXPECT_NE(report.find(ToUtf8(RestoreSummaryText(result)) + "\r\n"), std::string::npos);
}

TEST_F(Restoring, RefusesAFolderInUseAndACancelKeepsWhatWasWrittenButNoHalfFile) {
    std::string noise(3 << 20, '\0');
    std::mt19937 random(1);
    for (char& c : noise) c = static_cast<char>(random());
    testing::WriteSnapshot(snapshot_, L"ID", testing::ArchiveOf({{"first.txt", "whole"}, {"a.txt", noise}}));
    fs::create_directories(os::FsPath(target_));
    testing::WriteBytes(In(L"mine.txt"), "the user's");
    EXPECT_THROW(RestoreSnapshot(snapshot_, target_), Error);
    EXPECT_EQ(std::distance(fs::directory_iterator(os::FsPath(target_)), fs::directory_iterator()), 1);

    fs::remove(os::FsPath(In(L"mine.txt")));
    CancelToken cancel;
    try {
        RestoreSnapshot(
            snapshot_, target_, [&](std::uint64_t done, std::uint64_t) { if (done > (1 << 20)) cancel.cancel(); },
            &cancel);
        FAIL() << "the restore ignored the cancel";
    } catch (const CancelledError& e) {
        EXPECT_EQ(std::string(e.what()), "Restore cancelled; what was restored so far stays in " + ToUtf8(target_));
    }
    EXPECT_NE(Report().find("Восстановление отменено"), std::string::npos);
    EXPECT_NE(Report().find("не дописан и удалён: a.txt"), std::string::npos) << Report();
    EXPECT_EQ(testing::ReadBytes(In(L"first.txt")), "whole");
    EXPECT_FALSE(testing::Exists(In(L"a.txt")));
}

TEST_F(Restoring, AnEncryptedSnapshotOpensOnlyWithItsKeyAndADamagedOneIsNotReportedWhole) {
    const std::string identity = age::GenerateIdentity();
    std::string noise(300000, '\0');
    std::mt19937 random(3);
    for (char& c : noise) c = static_cast<char>(random());
    testing::WriteSnapshot(snapshot_, L"ID", testing::ArchiveOf({{"a/b.txt", "deep"}, {"a/noise", noise}}),
                           age::RecipientOf(identity));
    // Without its key nothing is made, not even the target.
    EXPECT_THROW(RestoreSnapshot(snapshot_, target_), Error);
    EXPECT_FALSE(testing::Exists(target_));

    const age::Keys keys{{identity}, {}};
    const RestoreResult result = RestoreSnapshot(snapshot_, target_, {}, nullptr, &keys);
    EXPECT_TRUE(result.archiveIntact);
    EXPECT_EQ(testing::ReadBytes(In(Path({L"a", L"b.txt"}))), "deep");
    EXPECT_EQ(testing::ReadBytes(In(Path({L"a", L"noise"}))), noise);

    // A chunk damaged on the drive: what came before stays, nothing claims to be whole.
    const std::wstring sealed = os::JoinPath(snapshot_, L"site.tar.gz.age");
    std::string bytes = testing::ReadBytes(sealed);
    bytes[bytes.size() - 1000] ^= 1;
    testing::WriteBytes(sealed, bytes);
    const std::wstring again = dir_.file(L"again");
    EXPECT_THROW(RestoreSnapshot(snapshot_, again, {}, nullptr, &keys), std::exception);
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(again, Path({L"a", L"b.txt"}))), "deep");
    EXPECT_FALSE(testing::Exists(os::JoinPath(again, Path({L"a", L"noise"}))));
    EXPECT_NE(testing::ReadBytes(os::JoinPath(again, kRestoreReportName)).find("the encrypted archive does not open"),
              std::string::npos);
}

TEST_F(Restoring, RelativeAndLongTargetsWork) {
    testing::WriteSnapshot(snapshot_, L"ID", testing::ArchiveOf({{"a/b.txt", "deep"}}));
    const fs::path before = fs::current_path();
    fs::current_path(os::FsPath(dir_.path()));
    std::wstring relative = L"long";
    while (relative.size() < 300) relative = os::JoinPath(relative, L"папка-с-длинным-именем");
    const RestoreResult result = RestoreSnapshot(L"snapshot", relative);
    fs::current_path(before);
    EXPECT_EQ(result.files, 2u);
    EXPECT_EQ(testing::ReadBytes(os::ExtendedPath(dir_.file(Path({relative.c_str(), L"a", L"b.txt"})))), "deep");
}

// Random archives of dangerous names and links: every entry lands inside the
// target, and every link made leads inside it.
TEST_F(Restoring, NothingEverLandsOrLeadsOutside) {
    std::mt19937 random(7);
    const auto path = [&](std::initializer_list<const char*> parts, bool rooted) {
        std::string text = rooted && random() % 10 == 0 ? "/" : "";
        for (int n = static_cast<int>(random() % 4); n > 0; --n) {
            text += std::string(parts.begin()[random() % parts.size()]) + "/";
        }
        return text + parts.begin()[random() % 2];
    };
    const auto name = [&] { return path({"a", "b", ".", "", "A", ".."}, true); };
    for (int round = 0; round < 40; ++round) {
        std::vector<testing::Member> members;
        std::vector<std::string> links;
        for (int i = 0; i < 16; ++i) {
            const char type = "dfssh"[random() % 5];
            // Half the names go under an earlier link, the way an attack would.
            std::string at = name();
            if (!links.empty() && random() % 2 == 0) at = links[random() % links.size()] + "/" + path({"a", "b"}, false);
            if (type == 's') links.push_back(at);
            const std::string link = type == 's' ? path({"..", "a", "..", "."}, true) : type == 'h' ? name() : "";
            members.push_back({at, type == 'f' ? "x" : "", type, link});
        }
        const std::wstring folder = dir_.file(L"r" + std::to_wstring(round));
        testing::WriteSnapshot(os::JoinPath(folder, L"s"), L"ID", testing::ArchiveOf(members));
        const std::wstring target = os::JoinPath(folder, L"t");
        RestoreSnapshot(os::JoinPath(folder, L"s"), target);
        EXPECT_EQ(std::distance(fs::directory_iterator(os::FsPath(folder)), fs::directory_iterator()), 2);
        const std::wstring inside = os::FromFsPath(fs::canonical(os::FsPath(target))) + os::kPathSeparator;
        for (const auto& entry : fs::recursive_directory_iterator(os::FsPath(target))) {
            if (!entry.is_symlink()) continue;
            std::error_code ec;
            const std::wstring resolved = os::FromFsPath(fs::weakly_canonical(entry.path(), ec));
            EXPECT_TRUE(ec || resolved.rfind(inside, 0) == 0 || resolved + os::kPathSeparator == inside)
                << ToUtf8(os::FromFsPath(entry.path())) << " -> " << ToUtf8(resolved);
        }
    }
}

}  // namespace
}  // namespace tesmora
