// The age format against its own test vectors (C2SP's CCTV, all but the
// post-quantum hybrid ones), and round trips through the streaming writer
// and reader.
#include "crypto/age.h"

#include "os/os.h"
#include "os/text.h"
#include "remote/segment_frames.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <cstdlib>

namespace tesmora::age {
namespace {

std::string Sha256Hex(std::string_view bytes) {
    os::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return HexLower(hash.finish());
}

const char* FailureName(Failure failure) {
    switch (failure) {
        case Failure::Header: return "header failure";
        case Failure::Hmac: return "HMAC failure";
        case Failure::NoMatch: return "no match";
        case Failure::Payload: return "payload failure";
        case Failure::Armor: return "armor failure";
    }
    return "?";
}

struct Vector {
    std::multimap<std::string, std::string> fields;
    std::string file;
};

Vector ReadVector(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    Vector vector;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos || end == at) {
            at = end == std::string::npos ? text.size() : end + 1;
            break;
        }
        const std::string line = text.substr(at, end - at);
        const std::size_t colon = line.find(": ");
        vector.fields.emplace(line.substr(0, colon), line.substr(colon + 2));
        at = end + 1;
    }
    vector.file = text.substr(at);
    if (vector.fields.count("compressed")) vector.file = InflateIndex(vector.file);
    return vector;
}

TEST(AgeVectors, EveryVectorGivesItsExpectedResult) {
    std::size_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TESMORA_AGE_VECTORS)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const Vector vector = ReadVector(entry.path());
        Keys keys;
        for (auto [it, end] = vector.fields.equal_range("identity"); it != end; ++it) keys.identities.push_back(it->second);
        for (auto [it, end] = vector.fields.equal_range("passphrase"); it != end; ++it) {
            keys.passphrases.push_back(it->second);
        }
        const std::string expected = vector.fields.find("expect")->second;
        std::string got;
        try {
            const std::string plain =
                Decrypt(vector.file, keys, vector.fields.count("armored") ? Armor::Always : Armor::Detect);
            got = "success";
            EXPECT_EQ(Sha256Hex(plain), vector.fields.find("payload")->second);
        } catch (const AgeError& e) {
            got = FailureName(e.failure());
        }
        EXPECT_EQ(got, expected);
        ++checked;
    }
    EXPECT_GE(checked, 120u);
}

TEST(Age, RoundTripsKeepEveryChunkBoundaryAndRefuseWhatIsNotTheirs) {
    const std::string identity = GenerateIdentity();
    const std::string recipient = RecipientOf(identity);
    EXPECT_EQ(identity.rfind("AGE-SECRET-KEY-1", 0), 0u);
    EXPECT_EQ(recipient.rfind("age1", 0), 0u);
    EXPECT_EQ(recipient.size(), 62u);
    const Keys mine{{identity}, {}};
    for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 131072u, 200000u}) {
        SCOPED_TRACE(size);
        std::string plain(size, '\0');
        for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<char>(i * 7 + i / 251);
        const std::string file = Encrypt(plain, {recipient, RecipientOf(GenerateIdentity())});
        EXPECT_EQ(Decrypt(file, mine), plain);

        // Fed in uneven pieces, the reader hands over only what proved.
        std::string streamed;
        Decryptor decryptor(mine, [&](std::string_view bytes) { streamed.append(bytes); });
        for (std::size_t at = 0; at < file.size(); at += 997) decryptor.feed(std::string_view(file).substr(at, 997));
        decryptor.finish();
        EXPECT_EQ(streamed, plain);

        const auto failure = [&](const std::string& bytes, const Keys& keys) {
            try {
                Decrypt(bytes, keys);
            } catch (const AgeError& e) {
                return e.failure();
            }
            ADD_FAILURE() << "opened";
            return Failure::Armor;
        };
        EXPECT_EQ(failure(file, Keys{{GenerateIdentity()}, {}}), Failure::NoMatch);
        EXPECT_EQ(failure(file.substr(0, file.size() - 1), mine), Failure::Payload);
        std::string damaged = file;
        damaged[damaged.size() - 20] ^= 1;
        EXPECT_EQ(failure(damaged, mine), Failure::Payload);
    }

    // Identities sealed with a passphrase, as identity.age keeps them.
    const std::string older = GenerateIdentity();
    const std::string kept = SealIdentities({identity, older}, "correct horse", 10);
    EXPECT_EQ(OpenIdentities(kept, "correct horse"), (std::vector<std::string>{identity, older}));
    try {
        OpenIdentities(kept, "wrong");
        ADD_FAILURE() << "a wrong passphrase opened it";
    } catch (const AgeError& e) {
        EXPECT_EQ(e.failure(), Failure::NoMatch);
    }
    EXPECT_EQ(kept.find(identity), std::string::npos);

    // A passphrase file of any content.
    std::string sealed;
    Encryptor encryptor = Encryptor::WithPassphrase("correct horse", 10, [&](std::string_view b) { sealed.append(b); });
    encryptor.write(identity);
    encryptor.finish();
    EXPECT_NE(sealed.find("-> scrypt "), std::string::npos);
    EXPECT_EQ(Decrypt(sealed, Keys{{}, {"wrong", "correct horse"}}), identity);
    EXPECT_THROW(Decrypt(sealed, Keys{{}, {"wrong"}}), AgeError);
    EXPECT_THROW(Decrypt(sealed, Keys{{}, {"correct horse"}, 9}), AgeError);  // above the work factor allowed
}

// Ranges of the plaintext read alone, as a copy of one part of a large file
// needs: every range comes back as it was, each chunk still proves itself,
// and the end is proven whenever a range reaches it.
TEST(Age, RangesComeBackAloneAndEachChunkStillProvesItself) {
    const std::string identity = GenerateIdentity();
    const Keys mine{{identity}, {}};
    const auto opened = [&](const std::string& file) {
        return std::make_unique<RandomAccess>(
            mine, [&file](std::uint64_t offset, std::size_t size) { return file.substr(offset, size); }, file.size());
    };
    const auto range = [](RandomAccess& access, std::uint64_t offset, std::uint64_t size) {
        std::string out;
        access.read(offset, size, [&](std::string_view bytes) { out.append(bytes); });
        return out;
    };
    for (std::size_t size : {0u, 65536u, 200000u}) {
        SCOPED_TRACE(size);
        std::string plain(size, '\0');
        for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<char>(i * 13 + i / 509);
        const std::string file = Encrypt(plain, {RecipientOf(identity)});
        const auto access = opened(file);
        EXPECT_EQ(access->plainSize(), size);
        EXPECT_EQ(range(*access, 0, size), plain);
        for (std::uint64_t offset : {1ull, 65535ull, 65536ull, 131000ull}) {
            if (offset + 600 > size) continue;
            EXPECT_EQ(range(*access, offset, 600), plain.substr(offset, 600));
        }
        EXPECT_THROW(range(*access, size, 1), AgeError);
    }

    std::string plain(200000, 'p');
    const std::string file = Encrypt(plain, {RecipientOf(identity)});
    std::string damaged = file;
    damaged[file.size() - 70000] ^= 1;  // inside the second of four chunks
    const auto access = opened(damaged);
    EXPECT_EQ(range(*access, 0, 1000), plain.substr(0, 1000));
    EXPECT_THROW(range(*access, 70000, 10), AgeError);
    // Cut after a whole chunk: the one now last never carried the flag.
    const std::string shortened = file.substr(0, file.size() - (200000 - 3 * 65536 + 16));
    const auto cut = opened(shortened);
    EXPECT_EQ(range(*cut, 0, 10), plain.substr(0, 10));
    EXPECT_THROW(range(*cut, cut->plainSize() - 10, 10), AgeError);
    try {
        RandomAccess(Keys{{GenerateIdentity()}, {}}, [&](std::uint64_t o, std::size_t n) { return file.substr(o, n); },
                     file.size());
        ADD_FAILURE() << "another key opened it";
    } catch (const AgeError& e) {
        EXPECT_EQ(e.failure(), Failure::NoMatch);
    }
}

// The distribution's age opens what this writes and writes what this opens,
// passphrase files included. Natively only: Wine has no age.
TEST(Age, TheAgeToolAndThisReadEachOthersFiles) {
    if (std::system("age --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no age command here";
    const testing::TempDir temp;
    const std::filesystem::path dir = os::FsPath(temp.path());
    const auto write = [&](const char* name, std::string_view bytes) {
        std::ofstream(dir / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    const auto read = [&](const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream whole;
        whole << in.rdbuf();
        return whole.str();
    };
    const auto run = [&](const std::string& command) {
        return std::system(("cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1").c_str());
    };
    std::string plain(150000, '\0');
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i % 253);
    const std::string identity = GenerateIdentity();
    write("key.txt", identity + "\n");
    write("ours.age", Encrypt(plain, {RecipientOf(identity)}));
    ASSERT_EQ(run("age -d -i key.txt -o ours.out ours.age"), 0);
    EXPECT_EQ(read("ours.out"), plain);

    write("plain", plain);
    ASSERT_EQ(run("age -r " + RecipientOf(identity) + " -o theirs.age plain"), 0);
    EXPECT_EQ(Decrypt(read("theirs.age"), Keys{{identity}, {}}), plain);
    ASSERT_EQ(run("age -a -r " + RecipientOf(identity) + " -o armored.age plain"), 0);
    EXPECT_EQ(Decrypt(read("armored.age"), Keys{{identity}, {}}), plain);

    // Identity files sealed with a passphrase each way; age asks for it on
    // its terminal, which script gives it.
    write("id.txt", "# created: today\n" + identity + "\n");
    ASSERT_EQ(run("printf 'pass word\\npass word\\n' | script -qc 'age -p -o id.age id.txt' /dev/null"), 0);
    EXPECT_EQ(OpenIdentities(read("id.age"), "pass word"), std::vector<std::string>{identity});
    const std::string second = GenerateIdentity();
    write("ours-id.age", SealIdentities({second, identity}, "pass word", 12));
    ASSERT_EQ(run("printf 'pass word\\n' | script -qc 'age -d -i ours-id.age -o ours-id.out ours.age' /dev/null"),
              0);
    EXPECT_EQ(read("ours-id.out"), plain);
}

}  // namespace
}  // namespace tesmora::age
