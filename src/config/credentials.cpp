#include "config/credentials.h"

#include "os/text.h"
#include "os/error.h"
#include "os/os.h"

namespace tesmora {

std::wstring CredentialTargetName(const BackupSettings& s) {
    return L"Tesmora.SiteBackup/" + s.id + L"/" + s.host + L":" + std::to_wstring(s.port) + L"/" + s.user + L"/" +
           s.fingerprint;
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
    if (!blob) throw Error(ErrorCode::NoStoredPassword,
                           "Enter and save the VDS password on this Windows account first");
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
    if (!stored) throw Error(ErrorCode::PasswordNotStored, "Windows Credential Manager rejected the password");
    WipeString(password);
}

}  // namespace tesmora
