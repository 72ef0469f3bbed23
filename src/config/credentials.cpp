#include "config/credentials.h"

#include "os/text.h"
#include "os/error.h"
#include "os/os.h"

namespace tesmora {

std::wstring CredentialTargetName(const BackupSettings& s) {
    return L"Tesmora.SiteBackup/" + s.id + L"/" + s.host + L":" + std::to_wstring(s.port) + L"/" + s.user + L"/" +
           s.fingerprint;
}

std::wstring KeyCredentialTargetName(const BackupSettings& s) {
    const std::wstring name = CredentialTargetName(s);
    return L"Tesmora.SiteBackup.Key" + name.substr(name.find(L'/'));
}

std::optional<std::string> ReadStoredKey(const BackupSettings& settings) {
    return os::ReadGenericCredential(KeyCredentialTargetName(settings));
}

void StoreKey(const BackupSettings& settings, std::string& keyBytes) {
    // CRED_MAX_CREDENTIAL_BLOB_SIZE: the stand-in of the native build has no
    // limit, Windows refuses more.
    constexpr std::size_t kBlobLimit = 5 * 512;
    const bool stored = keyBytes.size() <= kBlobLimit &&
                        os::WriteGenericCredential(KeyCredentialTargetName(settings), settings.user, keyBytes);
    WipeString(keyBytes);
    if (!stored) throw Error(ErrorCode::KeyNotStored);
}

void WipeString(std::wstring& text) {
    os::WipeMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

void WipeString(std::string& bytes) {
    os::WipeMemory(bytes.data(), bytes.size());
    bytes.clear();
}

std::wstring ReadStoredPassword(const BackupSettings& settings) {
    auto blob = os::ReadGenericCredential(CredentialTargetName(settings));
    if (!blob) throw Error(ErrorCode::NoStoredPassword);
    // The blob holds UTF-16LE code units; an odd last byte is not part of any.
    std::u16string units(blob->size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(static_cast<unsigned char>((*blob)[2 * i]) |
                                         (static_cast<unsigned char>((*blob)[2 * i + 1]) << 8));
    }
    WipeString(*blob);
    std::wstring password = FromUtf16(units);
    os::WipeMemory(units.data(), units.size() * sizeof(char16_t));
    return password;
}

void StorePassword(const BackupSettings& settings, std::wstring& password) {
    if (password.empty()) return;
    std::u16string units = ToUtf16(password);
    std::string blob(units.size() * 2, '\0');
    for (size_t i = 0; i < units.size(); ++i) {
        blob[2 * i] = static_cast<char>(units[i] & 0xFF);
        blob[2 * i + 1] = static_cast<char>(units[i] >> 8);
    }
    os::WipeMemory(units.data(), units.size() * sizeof(char16_t));
    const bool stored = os::WriteGenericCredential(CredentialTargetName(settings), settings.user, blob);
    WipeString(blob);
    if (!stored) throw Error(ErrorCode::PasswordNotStored);
    WipeString(password);
}

}  // namespace tesmora
