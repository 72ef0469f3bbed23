// The Windows Credential Manager.
#include "os/os.h"
#include "os/win/win32.h"

#include <wincred.h>

namespace tesmora::os {

std::optional<std::string> ReadGenericCredential(const std::wstring& target) {
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) return std::nullopt;
    std::string blob(reinterpret_cast<const char*>(credential->CredentialBlob), credential->CredentialBlobSize);
    WipeMemory(credential->CredentialBlob, credential->CredentialBlobSize);
    CredFree(credential);
    return blob;
}

bool WriteGenericCredential(const std::wstring& target, const std::wstring& userName, const std::string& blob) {
    CREDENTIALW credential{};
    credential.Flags = 0;
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(target.c_str());
    credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(const_cast<char*>(blob.data()));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = const_cast<wchar_t*>(userName.c_str());
    return CredWriteW(&credential, 0) != 0;
}

void WipeMemory(void* data, std::size_t size) { SecureZeroMemory(data, size); }

}  // namespace tesmora::os
