// Ranges of an archive on the drive read the same from a plain file and from
// its age-encrypted twin; a file that cannot give them says so.
#include "archive/archive_ranges.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

std::string Ranges(ArchiveRanges& ranges, std::uint64_t offset, std::uint64_t length) {
    std::string out;
    EXPECT_TRUE(ranges.read(offset, length, [&](std::string_view piece) {
        EXPECT_LE(piece.size(), 1u << 20);
        out.append(piece);
        return true;
    }));
    return out;
}

TEST(ArchiveRanges, PlainAndEncryptedFilesGiveTheSameBytes) {
    testing::TempDir dir;
    std::string archive(3 << 20 | 12345, '\0');
    for (std::size_t i = 0; i < archive.size(); ++i) archive[i] = static_cast<char>(i * 31 + i / 4099);
    const std::string identity = age::GenerateIdentity();
    const age::Keys keys{{identity}, {}};
    testing::WriteBytes(dir.file(L"site.tar.gz"), archive);
    testing::WriteBytes(dir.file(L"site.tar.gz.age"), age::Encrypt(archive, {age::RecipientOf(identity)}));

    ArchiveRanges plain(dir.file(L"site.tar.gz"), &keys);
    ArchiveRanges encrypted(dir.file(L"site.tar.gz.age"), &keys);
    EXPECT_FALSE(plain.encrypted());
    EXPECT_TRUE(encrypted.encrypted());
    for (const auto& [offset, length] : {std::pair<std::uint64_t, std::uint64_t>{0, archive.size()},
                                         {65530, 20}, {(1 << 20) - 3, (2 << 20) + 7}}) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(Ranges(plain, offset, length), archive.substr(offset, length));
        EXPECT_EQ(Ranges(encrypted, offset, length), archive.substr(offset, length));
    }
    int pieces = 0;
    EXPECT_FALSE(encrypted.read(0, archive.size(), [&](std::string_view) { return ++pieces < 2; }));
    EXPECT_EQ(pieces, 2);

    // Past the end, without the key, damaged.
    EXPECT_THROW(Ranges(plain, archive.size() - 10, 20), std::runtime_error);
    EXPECT_THROW(Ranges(encrypted, archive.size() - 10, 20), std::runtime_error);
    EXPECT_THROW(ArchiveRanges(dir.file(L"site.tar.gz.age")), std::runtime_error);
    std::string damaged = testing::ReadBytes(dir.file(L"site.tar.gz.age"));
    damaged[damaged.size() / 2] ^= 4;
    testing::WriteBytes(dir.file(L"damaged.age"), damaged);
    ArchiveRanges broken(dir.file(L"damaged.age"), &keys);
    EXPECT_EQ(Ranges(broken, 0, 100), archive.substr(0, 100));
    EXPECT_THROW(Ranges(broken, archive.size() / 2 - 70000, 140000), std::runtime_error);
}

}  // namespace
}  // namespace tesmora
