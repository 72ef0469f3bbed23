// The keys of a configuration's encrypted snapshots. The recipient (public
// key) is in settings.ini, so scheduled runs need nothing secret. The
// identities (private keys) live in the credential store beside the SSH
// password, and on the drive in identity.age, sealed with the user's
// passphrase, for another PC or a lost Windows profile. Every identity a
// snapshot may still need stays in both: a new key is added, never swapped.
#pragma once

#include "config/settings.h"
#include "crypto/age.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tesmora {

// Keys that wipe themselves when they go.
class HeldKeys {
public:
    HeldKeys() = default;
    explicit HeldKeys(std::vector<std::string> identities);
    ~HeldKeys();
    HeldKeys(HeldKeys&& other) noexcept;
    HeldKeys& operator=(HeldKeys&& other) noexcept;
    HeldKeys(const HeldKeys&) = delete;
    HeldKeys& operator=(const HeldKeys&) = delete;

    const age::Keys& keys() const { return keys_; }
    bool empty() const { return keys_.identities.empty(); }
    // Whether one of them is the identity of that recipient fingerprint.
    bool opens(const std::string& recipientFingerprint) const;

private:
    void wipe();
    age::Keys keys_;
};

// "Tesmora.SiteBackup.Age/" + id: the identities belong to the drive's
// binding, not to a server, so a new server keeps them.
std::wstring IdentityCredentialTargetName(const BackupSettings& settings);

// The identities in the credential store, newest last; none when none.
HeldKeys ReadStoredIdentities(const BackupSettings& settings);

// Where the passphrase of identity.age comes from when the credential store
// holds no key: the window asks, the command line reads
// TESMORA_ENCRYPTION_PASSPHRASE. Nothing: no passphrase at hand.
using PassphraseSource = std::function<std::optional<std::string>()>;
PassphraseSource EnvironmentPassphrase();

// The keys that open the configuration's snapshots: those stored, else
// those of the drive's identity.age opened with the passphrase, which are
// then stored so that it is asked once. Empty when neither is at hand;
// raises "identity.age does not open with this passphrase".
HeldKeys SnapshotKeys(const BackupSettings& settings, const PassphraseSource& passphrase);

// What turning encryption on made: the settings to save (the recipient set)
// and the recovery sheet, UTF-8 with CR LF, to print or keep elsewhere.
struct EncryptionSetup {
    BackupSettings settings;
    std::string sheet;
};

// Turns encryption on for the next snapshots. Keeps the configuration's
// key when it has one, unless `newKey`; a new one is added to those still
// needed. Stores every identity, seals them all in identity.age with the
// passphrase (one is proposed, and shown on the sheet, when it is empty)
// and writes README-DECRYPT.txt into the backup folder. The caller keeps the
// sheet first, then saves the settings. An identity.age that the credential
// store cannot stand in for must open with the passphrase. `workFactor` is
// scrypt's for identity.age (log2 N).
EncryptionSetup EnableEncryption(const BackupSettings& settings, std::string passphrase, bool newKey,
                                 int workFactor = age::kIdentityWorkFactor);

// The text of README-DECRYPT.txt, in Russian and English.
std::string DecryptReadmeText();

}  // namespace tesmora
