#include "encryption/snapshot_keys.h"

#include "config/credentials.h"
#include "config/durable_file.h"
#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tesmora {
namespace {

// A credential holds at most 2560 bytes: about 34 identities.
constexpr std::size_t kBlobLimit = 5 * 512;

std::wstring IdentityFile(const BackupSettings& s) {
    return os::JoinPath(os::JoinPath(s.drive_root, layout::kProgramFolder), layout::kIdentityFile);
}

std::string Joined(const std::vector<std::string>& identities) {
    std::string text;
    for (const std::string& identity : identities) text += identity + "\n";
    return text;
}

void StoreIdentities(const BackupSettings& s, const std::vector<std::string>& identities) {
    std::string blob = Joined(identities);
    const bool stored = blob.size() <= kBlobLimit &&
                        os::WriteGenericCredential(IdentityCredentialTargetName(s), s.user, blob);
    WipeString(blob);
    if (!stored) throw Error(ErrorCode::EncryptionKeyNotStored);
}

// The identities identity.age holds, opened with the passphrase.
std::vector<std::string> OpenIdentityFile(const std::wstring& path, const std::string& passphrase) {
    std::ifstream in(os::FsPath(path), std::ios::binary);
    const std::string sealed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        return age::OpenIdentities(sealed, passphrase);
    } catch (const age::AgeError&) {
        throw Error(ErrorCode::IdentityFileUnopened);
    }
}

// Writes identity.age beside itself first, so that a failure half-way never
// leaves the drive without a readable one.
void WriteIdentityFile(const std::wstring& path, const std::vector<std::string>& identities,
                       const std::string& passphrase, int workFactor) {
    const std::wstring fresh = path + L".new";
    WriteWholeFile(fresh, age::SealIdentities(identities, passphrase, workFactor));
    if (!os::ReplaceFileWriteThrough(fresh, path)) {
        throw Error(ErrorCode::IdentityFileNotWritten, ToUtf8(path));
    }
}

std::string SheetText(const BackupSettings& s, const std::vector<std::string>& identities,
                      const std::string& proposed) {
    std::string text =
        "Tesmora Backup: лист восстановления / recovery sheet\n"
        "\n"
        "Копии сайта " + ToUtf8(s.host) + " на диске зашифрованы в формате age.\n"
        "Этот лист открывает их без программы и без пароля. Храните его отдельно от диска:\n"
        "распечатайте или сохраните в надёжном месте.\n"
        "ВНИМАНИЕ: если потеряны и пароль к identity.age, и этот лист, копии не открыть никому.\n"
        "\n"
        "The site's snapshots on the drive are encrypted in the age format.\n"
        "This sheet opens them without the program and without the passphrase. Keep it apart\n"
        "from the drive: print it or store it somewhere safe.\n"
        "WARNING: a lost passphrase together with a lost sheet means lost backups.\n"
        "\n"
        "Ключи (новейший последним) / Keys (newest last):\n";
    for (const std::string& identity : identities) {
        text += "# public key: " + age::RecipientOf(identity) + "\n" + identity + "\n";
    }
    if (!proposed.empty()) {
        text += "\nПароль к identity.age / Passphrase of identity.age: " + proposed + "\n";
    }
    text +=
        "\n"
        "Как открыть копию / How to open a snapshot:\n"
        "1. winget install FiloSottile.age\n"
        "2. Сохраните строки AGE-SECRET-KEY-1... в файл key.txt / Save the AGE-SECRET-KEY-1... lines as key.txt\n"
        "3. age -d -i key.txt -o site.tar.gz site.tar.gz.age\n"
        "4. tar -xf site.tar.gz   (или 7-Zip / or 7-Zip)\n";
    std::string lines;
    for (char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    WipeString(text);
    return lines;
}

}  // namespace

HeldKeys::HeldKeys(std::vector<std::string> identities) { keys_.identities = std::move(identities); }

HeldKeys::~HeldKeys() { wipe(); }

HeldKeys::HeldKeys(HeldKeys&& other) noexcept : keys_(std::move(other.keys_)) { other.keys_ = {}; }

HeldKeys& HeldKeys::operator=(HeldKeys&& other) noexcept {
    if (this != &other) {
        wipe();
        keys_ = std::move(other.keys_);
        other.keys_ = {};
    }
    return *this;
}

void HeldKeys::wipe() {
    for (std::string& identity : keys_.identities) WipeString(identity);
    keys_.identities.clear();
}

bool HeldKeys::opens(const std::string& recipientFingerprint) const {
    return std::any_of(keys_.identities.begin(), keys_.identities.end(), [&](const std::string& identity) {
        try {
            return age::RecipientFingerprint(age::RecipientOf(identity)) == recipientFingerprint;
        } catch (const age::AgeError&) {
            return false;
        }
    });
}

std::wstring IdentityCredentialTargetName(const BackupSettings& s) { return L"Tesmora.SiteBackup.Age/" + s.id; }

HeldKeys ReadStoredIdentities(const BackupSettings& s) {
    auto blob = os::ReadGenericCredential(IdentityCredentialTargetName(s));
    std::vector<std::string> identities;
    if (!blob) return HeldKeys();
    for (std::size_t start = 0; start < blob->size();) {
        const std::size_t end = std::min(blob->find('\n', start), blob->size());
        if (end > start) identities.push_back(blob->substr(start, end - start));
        start = end + 1;
    }
    WipeString(*blob);
    return HeldKeys(std::move(identities));
}

PassphraseSource EnvironmentPassphrase() {
    return []() -> std::optional<std::string> {
        std::string passphrase = ToUtf8(os::EnvironmentText(L"TESMORA_ENCRYPTION_PASSPHRASE"));
        if (passphrase.empty()) return std::nullopt;
        return passphrase;
    };
}

HeldKeys SnapshotKeys(const BackupSettings& s, const PassphraseSource& passphrase) {
    HeldKeys stored = ReadStoredIdentities(s);
    if (!stored.empty()) return stored;
    const std::wstring file = IdentityFile(s);
    if (!os::IsRegularFile(file) || !passphrase) return HeldKeys();
    std::optional<std::string> given = passphrase();
    if (!given) return HeldKeys();
    std::vector<std::string> identities;
    try {
        identities = OpenIdentityFile(file, *given);
    } catch (...) {
        WipeString(*given);
        throw;
    }
    WipeString(*given);
    // Stored, the next operation on this PC needs no passphrase. A store
    // that refuses costs only the question again.
    try {
        StoreIdentities(s, identities);
    } catch (const Error&) {
    }
    return HeldKeys(std::move(identities));
}

EncryptionSetup EnableEncryption(const BackupSettings& s, std::string passphrase, bool newKey, int workFactor) {
    std::string proposed;
    if (passphrase.empty()) {
        proposed = age::ProposePassphrase();
        passphrase = proposed;
    }
    std::vector<std::string> identities;
    {
        HeldKeys stored = ReadStoredIdentities(s);
        identities = stored.keys().identities;
    }
    const std::wstring file = IdentityFile(s);
    if (os::IsRegularFile(file)) {
        // A key that only identity.age still holds must not be lost when it is rewritten.
        try {
            for (std::string& identity : OpenIdentityFile(file, passphrase)) {
                if (std::find(identities.begin(), identities.end(), identity) == identities.end()) {
                    identities.push_back(identity);
                }
                WipeString(identity);
            }
        } catch (const Error&) {
            if (identities.empty()) throw;
        }
    }
    const std::string current = ToUtf8(s.encryptionRecipient);
    const bool haveCurrent = std::any_of(identities.begin(), identities.end(), [&](const std::string& identity) {
        return age::RecipientOf(identity) == current;
    });
    if (newKey || !haveCurrent) identities.push_back(age::GenerateIdentity());
    EncryptionSetup setup{s, SheetText(s, identities, proposed)};
    setup.settings.encryptionRecipient = FromUtf8(age::RecipientOf(identities.back()));
    StoreIdentities(s, identities);
    os::CreateDirectories(os::JoinPath(s.drive_root, layout::kProgramFolder));
    WriteIdentityFile(file, identities, passphrase, workFactor);
    const std::wstring backupFolder = os::JoinPath(s.drive_root, layout::kBackupFolder);
    os::CreateDirectories(backupFolder);
    WriteWholeFile(os::JoinPath(backupFolder, layout::kDecryptReadmeFile), DecryptReadmeText());
    for (std::string& identity : identities) WipeString(identity);
    WipeString(passphrase);
    WipeString(proposed);
    return setup;
}

std::string DecryptReadmeText() {
    const std::string text =
        "Копии этого сайта зашифрованы (формат age)\r\n"
        "===========================================\r\n"
        "Каждая папка копии содержит site.tar.gz.age: архив сайта, зашифрованный в формате age.\r\n"
        "Программа Tesmora Backup открывает его сама. Без программы:\r\n"
        "1. Установите age: winget install FiloSottile.age\r\n"
        "2. Скопируйте identity.age из папки Tesmora_Site_Backup в папку копии.\r\n"
        "3. В папке копии выполните (age спросит пароль к identity.age):\r\n"
        "   age -d -i identity.age -o site.tar.gz site.tar.gz.age\r\n"
        "   Без пароля подойдёт лист восстановления: сохраните его строки AGE-SECRET-KEY-1... в key.txt\r\n"
        "   и укажите -i key.txt.\r\n"
        "4. Распакуйте: tar -xf site.tar.gz, или откройте site.tar.gz в 7-Zip.\r\n"
        "SHA256SUMS.txt проверяет зашифрованный файл и без ключа: sha256sum -c SHA256SUMS.txt\r\n"
        "\r\n"
        "This site's snapshots are encrypted (age format)\r\n"
        "================================================\r\n"
        "Each snapshot folder holds site.tar.gz.age: the site's archive, encrypted in the age format.\r\n"
        "Tesmora Backup opens it by itself. Without the program:\r\n"
        "1. Install age: winget install FiloSottile.age\r\n"
        "2. Copy identity.age from the Tesmora_Site_Backup folder into the snapshot folder.\r\n"
        "3. In the snapshot folder run (age asks for the passphrase of identity.age):\r\n"
        "   age -d -i identity.age -o site.tar.gz site.tar.gz.age\r\n"
        "   Without the passphrase, use the recovery sheet: save its AGE-SECRET-KEY-1... lines as key.txt\r\n"
        "   and give -i key.txt.\r\n"
        "4. Unpack: tar -xf site.tar.gz, or open site.tar.gz in 7-Zip.\r\n"
        "SHA256SUMS.txt proves the encrypted file even without the key: sha256sum -c SHA256SUMS.txt\r\n";
    return text;
}

}  // namespace tesmora
