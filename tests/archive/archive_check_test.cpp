// Archives made here with libarchive's writer and zlib, then damaged the ways
// real transfers and drives damage them.
#include "archive/age_source.h"
#include "archive/archive_check.h"
#include "archive/archive_maker.h"
#include "archive/stream_check.h"

#include "os/os.h"
#include "os/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tesmora {
namespace {

using testing::Gzip;
using testing::Manifest;
using testing::Member;
using testing::Tar;

const std::string kDatabase = std::string("SQLite format 3\0", 16) + std::string(4080, 'd');

// Hands the bytes over in small pieces, as a transfer does.
class PieceSource final : public ByteSource {
public:
    explicit PieceSource(std::string bytes) : bytes_(std::move(bytes)) {}
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, bytes_.size() - at_, std::size_t{7001}});
        bytes_.copy(buffer, count, at_);
        at_ += count;
        return count;
    }

private:
    std::string bytes_;
    std::size_t at_ = 0;
};

std::string Failure(const std::string& bytes) {
    PieceSource source(bytes);
    try {
        CheckArchive(source);
    } catch (const ArchiveDamage& damage) {
        return damage.what();
    }
    return "";
}

const std::string kGoodTar = Tar({{"etc/app.conf", "port=80\n"}, {kManifestName, Manifest(1)}});
const std::string kGood = Gzip(kGoodTar);

TEST(CheckArchive, AcceptsAWholeArchiveWhateverItsSize) {
    PieceSource tiny(kGood);
    const ArchiveSummary summary = CheckArchive(tiny);
    EXPECT_LT(kGood.size(), 1024u);
    EXPECT_EQ(summary.files, 1u);
    EXPECT_EQ(summary.members, 2u);
    EXPECT_EQ(summary.compressedBytes, kGood.size());

    // Several gzip members, and a database copy of the stated size.
    const std::string tar = Tar({{"srv/app.db", kDatabase},
                                 {kManifestName, Manifest(1, "[{\"path\": \"/srv/app.db\", \"bytes\": 4096}]")}});
    PieceSource twoMembers(Gzip(tar.substr(0, 3000)) + Gzip(tar.substr(3000)));
    const ArchiveSummary databases = CheckArchive(twoMembers);
    ASSERT_EQ(databases.databases.size(), 1u);
    EXPECT_EQ(databases.databases[0].path, "/srv/app.db");

    // A path that is not UTF-8: bytes in the header, surrogate escapes in the manifest.
    const std::string oddList = "[{\"path\": \"/srv/\\udcff\\udcd0.db\", \"bytes\": 4096}]";
    PieceSource odd(Gzip(Tar({{"srv/\xff\xd0.db", kDatabase}, {kManifestName, Manifest(1, oddList)}})));
    EXPECT_EQ(CheckArchive(odd).databases[0].path, "/srv/\xff\xd0.db");
}

// An encrypted archive proves as the archive inside; its key, its damage and
// its end are named as what they are.
TEST(CheckArchive, ReadsAnEncryptedArchiveThroughItsKey) {
    const std::string identity = age::GenerateIdentity();
    const std::string big = Gzip(Tar({{"var/log.txt", std::string(300000, 'l')}, {kManifestName, Manifest(1)}}));
    const std::string file = age::Encrypt(big, {age::RecipientOf(identity)});
    const auto check = [&](const std::string& bytes, const std::string& key) {
        PieceSource inner(bytes);
        AgeSource source(inner, age::Keys{{key}, {}});
        try {
            return std::to_string(CheckArchive(source).files);
        } catch (const ArchiveDamage& damage) {
            return std::string(damage.what());
        }
    };
    EXPECT_EQ(check(file, identity), "1");
    const std::string opens = "the encrypted archive does not open: ";
    EXPECT_EQ(check(file, age::GenerateIdentity()).rfind(opens + "no identity", 0), 0u);
    std::string damaged = file;
    damaged[damaged.size() / 2] ^= 1;
    const std::string broken = check(damaged, identity);
    EXPECT_EQ(broken.rfind(opens, 0), 0u);
    EXPECT_NE(broken.find("does not prove"), std::string::npos) << broken;
    // Cut at a chunk's end the gzip data may still look whole: the age end is what tells.
    EXPECT_EQ(check(file.substr(0, file.size() - 10), identity).rfind(opens, 0), 0u);
}

TEST(CheckArchive, NamesWhatIsWrong) {
    std::string flipped = kGood;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x10);
    std::string wrongCrc = kGood;
    wrongCrc[wrongCrc.size() - 6] = static_cast<char>(wrongCrc[wrongCrc.size() - 6] ^ 0x01);
    const std::string noEndBlocks = kGoodTar.substr(0, 2048);  // two headers and their data, no zero blocks
    const struct {
        std::string bytes;
        std::string reason;
    } cases[] = {
        {"", "the archive is empty"},
        {"Welcome to \"my\" server\r\n" + kGood, "the data is not gzip; it begins with \"Welcome to \\\"my\\\" server\\r\\n"},
        {"Привет\x01" + kGood, "the data is not gzip; it begins with \"Привет\\x01"},
        {kGood.substr(0, kGood.size() / 2), "the gzip data ends early, after "},
        {flipped, "gzip member 1 is damaged: "},
        {wrongCrc, "gzip member 1 is damaged: incorrect data check"},
        {kGood + "trailing junk", "unexpected data after gzip member 1"},
        {Gzip(noEndBlocks), "the tar data does not end with its end-of-archive blocks"},
        {Gzip(kGoodTar + Tar({{"hidden.txt", "x"}})), "the tar data goes on after its end-of-archive blocks"},
        {Gzip(Tar({{kManifestName, Manifest(0)}, {"late.txt", "x"}})), "the manifest is not the last member"},
        {Gzip(Tar({{"a.txt", "x"}})), "the manifest is missing"},
        {Gzip(Tar({{"a.txt", "x"}, {kManifestName, "{\"files\": "}})), "the manifest does not parse: "},
        {Gzip(Tar({{"a.txt", "x"}, {kManifestName, Manifest(2)}})), "the manifest counts 2 files and the archive holds 1"},
        {Gzip(Tar({{"srv/app.db", "not a database"},
                   {kManifestName, Manifest(1, "[{\"path\": \"/srv/app.db\", \"bytes\": 14}]")}})),
         "the database copy /srv/app.db is missing or is not a SQLite database"},
        {Gzip(Tar({{"srv/app.db", kDatabase},
                   {kManifestName, Manifest(1, "[{\"path\": \"/srv/app.db\", \"bytes\": 8192}]")}})),
         "the database copy /srv/app.db holds 4096 bytes and the manifest says 8192"},
    };
    for (const auto& c : cases) {
        const std::string failure = Failure(c.bytes);
        EXPECT_EQ(failure.substr(0, c.reason.size()), c.reason) << failure;
    }
}

// An archive with one file and one dump member; the manifest describes the
// dump as `described` (its exit status and closing line as given).
std::string WithDump(const std::string& member, const std::string& described, int exitStatus, bool listed = true) {
    os::Sha256 hash;
    hash.update(described.data(), described.size());
    const std::string entry = R"({"engine": "mysql", "database": "shop", "member": "__Tesmora_Backup__/databases/)"
                              R"(mysql-shop.sql", "bytes": )" + std::to_string(described.size()) +
                              R"(, "sha256": ")" + HexLower(hash.finish()) + R"(", "exit_status": )" +
                              std::to_string(exitStatus) + R"(, "closing_line": "-- Dump completed on 2026-12-07"})";
    std::string manifest = Manifest(1);
    manifest.insert(manifest.find("\"files\""), "\"dumps\": [" + (listed ? entry : "") + "], ");
    std::vector<Member> members{{"etc/app.conf", "port=80\n"}};
    if (!member.empty()) members.push_back({std::string(kDumpFolder) + "mysql-shop.sql", member});
    members.push_back({kManifestName, manifest});
    return Gzip(Tar(members));
}

TEST(CheckArchive, ProvesEachDumpWholeAndComplete) {
    const std::string dump = "-- MariaDB dump\nCREATE TABLE t (x INT);\n-- Dump completed on 2026-12-07\n\n";
    PieceSource good(WithDump(dump, dump, 0));
    const ArchiveSummary summary = CheckArchive(good);
    EXPECT_EQ(summary.files, 1u);  // a dump is not one of the site's files
    ASSERT_EQ(summary.dumps.size(), 1u);
    EXPECT_EQ(summary.dumps[0].database, "shop");

    const std::string cut = dump.substr(0, dump.find("-- Dump"));
    const std::string reordered = "-- MariaDB dump\n-- Dump completed on 2026-12-07\nCREATE TABLE t (x INT);\n";
    const struct {
        std::string bytes, reason;
    } cases[] = {
        {WithDump(dump, dump + "x", 0), "the dump of the database shop differs from what the manifest says"},
        {WithDump(cut, cut, 0), "the dump of the database shop differs from what the manifest says"},
        {WithDump(reordered, reordered, 0), "the dump of the database shop differs from what the manifest says"},
        {WithDump(dump, dump, 2), "the dump of the database shop did not complete"},
        {WithDump("", dump, 0), "the dump of the database shop is missing"},
        {WithDump(dump, dump, 0, false), "the manifest does not name the dump __Tesmora_Backup__/databases/"},
    };
    for (const auto& c : cases) EXPECT_EQ(Failure(c.bytes).substr(0, c.reason.size()), c.reason);
}

TEST(StreamCheck, ProvesWhatArrivesAndGivesUpEarlyOnWhatCannotBeAnArchive) {
    StreamCheck good;
    for (std::size_t at = 0; at < kGood.size(); at += 100) good.feed(std::string_view(kGood).substr(at, 100));
    EXPECT_EQ(good.finish().files, 1u);

    StreamCheck greeting;
    greeting.feed("Last login: yesterday\n");
    for (int i = 0; i < 500 && !greeting.failed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(greeting.failed());
    greeting.feed(kGood);  // ignored once the verdict is in
    EXPECT_THROW(greeting.finish(), ArchiveDamage);

    // A transfer that fails leaves its check unfinished: nothing waits.
    StreamCheck abandoned;
    abandoned.feed(kGood.substr(0, 40));
}

}  // namespace
}  // namespace tesmora
