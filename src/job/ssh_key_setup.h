// The client key of a backup's settings: the program's own ed25519 key, made
// here and added to the server's authorized_keys with the stored password,
// or a key the user brings as an OpenSSH private key file. Either lives only
// in the credential store, beside the password.
#pragma once

#include "config/settings.h"
#include "os/cancel.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tesmora {

// The authorized_keys entry of the program's key: no forwarding and no
// terminal ("restrict"), and a comment that names the PC and the UTC day.
std::string AuthorizedKeyEntry(const std::string& publicKeyLine, const std::wstring& computer, std::uint64_t unixTime);

// The POSIX shell script that adds `entry` to ~/.ssh/authorized_keys unless
// the key is there already, making ~/.ssh (0700) and the file (0600) when
// needed. It prints "TESMORA-KEY-ADDED" or "TESMORA-KEY-PRESENT".
std::string AppendKeyScript(const std::string& publicKeyLine, const std::string& entry);

struct KeyInstallResult {
    bool added = false;     // false when the server had the key already
    std::string publicKey;  // "ssh-ed25519 AAAA..."
};

// Makes and stores the program's key unless a key is stored already, logs in
// with the stored password, adds the key on the server, then logs in with the
// key alone to prove the server takes it. Raises "Could not add the key on
// the server: " and why.
KeyInstallResult InstallProgramKey(const BackupSettings& settings, const CancelToken* cancel = nullptr);

// Stores the key of an OpenSSH private key file, decrypted with `passphrase`
// when it is encrypted. The file is only read. Raises "Cannot use the key
// file: " and why.
void ImportKeyFile(const BackupSettings& settings, const std::wstring& path, std::string_view passphrase);

// Whether a key file needs a passphrase to be imported.
bool KeyFileNeedsPassphrase(const std::wstring& path);

}  // namespace tesmora
