#include "encryption/snapshot_keys.h"

#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

std::vector<std::string> SecretLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = text.find("AGE-SECRET-KEY-1"); at != std::string::npos;
         at = text.find("AGE-SECRET-KEY-1", at + 1)) {
        if (at == 0 || text[at - 1] == '\n') lines.push_back(text.substr(at, text.find('\r', at) - at));
    }
    return lines;
}

// identity.age sealed quickly: the work factor is the format's business, proven with it.
constexpr int kQuick = 10;

PassphraseSource Given(std::optional<std::string> passphrase) {
    return [passphrase] { return passphrase; };
}

// One configuration through its key's life: turned on, passphrase changed, a
// new key after a leak, then a PC whose credential store holds nothing.
TEST(SnapshotKeys, EveryKeyStillNeededStaysOnTheSheetInIdentityAgeAndInTheStore) {
    testing::TempDir drive;
    BackupSettings s;
    s.id = os::NewGuidText();
    s.drive_root = drive.path();
    s.host = L"example.org";
    s.user = L"site";
    const std::wstring identityFile =
        os::JoinPath(os::JoinPath(drive.path(), layout::kProgramFolder), layout::kIdentityFile);
    const auto sealed = [&] { return testing::ReadBytes(identityFile); };

    // On, with a passphrase the program proposes and prints on the sheet.
    const EncryptionSetup first = EnableEncryption(s, "", false, kQuick);
    const std::string recipient = ToUtf8(first.settings.encryptionRecipient);
    const std::vector<std::string> keys = SecretLines(first.sheet);
    ASSERT_EQ(keys.size(), 1u) << first.sheet;
    EXPECT_EQ(age::RecipientOf(keys[0]), recipient);
    const std::string marker = "Passphrase of identity.age: ";
    const std::size_t at = first.sheet.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string proposed = first.sheet.substr(at + marker.size(), 35);
    EXPECT_EQ(age::OpenIdentities(sealed(), proposed), keys);
    EXPECT_NE(testing::ReadBytes(os::JoinPath(os::JoinPath(drive.path(), layout::kBackupFolder),
                                              layout::kDecryptReadmeFile))
                  .find("age -d -i identity.age -o site.tar.gz site.tar.gz.age"),
              std::string::npos);
    EXPECT_TRUE(SnapshotKeys(first.settings, {}).opens(age::RecipientFingerprint(recipient)));

    // A passphrase change rewrites identity.age alone.
    const EncryptionSetup changed = EnableEncryption(first.settings, "correct horse", false, kQuick);
    EXPECT_EQ(ToUtf8(changed.settings.encryptionRecipient), recipient);
    EXPECT_EQ(changed.sheet.find(marker), std::string::npos);
    EXPECT_EQ(age::OpenIdentities(sealed(), "correct horse"), keys);
    EXPECT_THROW(age::OpenIdentities(sealed(), proposed), age::AgeError);

    // A new key serves the next snapshots; the old one stays everywhere.
    const EncryptionSetup renewed = EnableEncryption(changed.settings, "correct horse", true, kQuick);
    const std::string fresh = ToUtf8(renewed.settings.encryptionRecipient);
    EXPECT_NE(fresh, recipient);
    const std::vector<std::string> both = SecretLines(renewed.sheet);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0], keys[0]);
    EXPECT_EQ(age::RecipientOf(both[1]), fresh);
    EXPECT_EQ(age::OpenIdentities(sealed(), "correct horse"), both);
    EXPECT_EQ(ReadStoredIdentities(s).keys().identities, both);

    // Another PC: nothing stored, so identity.age answers, asked once.
    ASSERT_TRUE(os::WriteGenericCredential(IdentityCredentialTargetName(s), s.user, ""));
    EXPECT_TRUE(SnapshotKeys(s, Given(std::nullopt)).empty());
    try {
        SnapshotKeys(s, Given("wrong"));
        ADD_FAILURE() << "a wrong passphrase opened identity.age";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), ErrorCode::IdentityFileUnopened);
    }
    // Turning it on again there must not drop a key it cannot read.
    EXPECT_THROW(EnableEncryption(renewed.settings, "wrong", false, kQuick), Error);
    EXPECT_EQ(age::OpenIdentities(sealed(), "correct horse"), both);

    const HeldKeys opened = SnapshotKeys(s, Given("correct horse"));
    EXPECT_TRUE(opened.opens(age::RecipientFingerprint(recipient)));
    EXPECT_TRUE(opened.opens(age::RecipientFingerprint(fresh)));
    EXPECT_EQ(ReadStoredIdentities(s).keys().identities, both);
    EXPECT_FALSE(opened.opens(age::RecipientFingerprint(age::RecipientOf(age::GenerateIdentity()))));
}

}  // namespace
}  // namespace tesmora
