#include "job/ssh_key_setup.h"

#include "config/credentials.h"
#include "config/time_stamp.h"
#include "job/stored_login.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "remote/channel_pump.h"
#include "ssh/ssh_keys.h"

#include <fstream>
#include <iterator>

namespace tesmora {
namespace {

// The key file's text, wiped when it goes: an unencrypted file is the key.
struct FileText {
    std::string bytes;
    explicit FileText(const std::wstring& path) {
        std::ifstream in(os::FsPath(path), std::ios::binary);
        if (!in) throw Error(ErrorCode::KeyFileUnreadable, ToUtf8(path));
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ~FileText() { WipeString(bytes); }
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
};

SecretKey StoredOrNewKey(const BackupSettings& settings) {
    if (std::optional<std::string> stored = ReadStoredKey(settings)) return SecretKey(std::move(*stored));
    // Stored before the server sees it: a key the store refused is never installed.
    SecretKey made = GenerateEd25519Key();
    std::string bytes = made.der();
    StoreKey(settings, bytes);
    return made;
}

}  // namespace

std::string AuthorizedKeyEntry(const std::string& publicKeyLine, const std::wstring& computer, std::uint64_t unixTime) {
    // Only characters that need no quoting in the shell or in the file.
    std::string name;
    for (char c : ToUtf8(computer)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.') {
            name.push_back(c);
        }
    }
    const std::string day = ToUtf8(FormatUtcStamp(unixTime).substr(0, 10));  // YYYY-MM-DD
    return "restrict " + publicKeyLine + " TesmoraBackup@" + (name.empty() ? "PC" : name) + " " + day;
}

std::string AppendKeyScript(const std::string& publicKeyLine, const std::string& entry) {
    // The key and the entry hold no quote: base64, names and a date.
    return "umask 077; cd || exit 1; k='" + publicKeyLine + "'; e='" + entry +
           "'; f=.ssh/authorized_keys; "
           "[ -d .ssh ] || mkdir -m 700 .ssh || exit 1; "
           "if [ -f \"$f\" ] && grep -qF \"$k\" \"$f\"; then echo TESMORA-KEY-PRESENT; exit 0; fi; "
           // A last line without its line break would run into the new entry.
           "if [ -s \"$f\" ] && [ -n \"$(tail -c 1 \"$f\")\" ]; then echo >> \"$f\" || exit 1; fi; "
           "printf '%s\\n' \"$e\" >> \"$f\" || exit 1; echo TESMORA-KEY-ADDED\n";
}

KeyInstallResult InstallProgramKey(const BackupSettings& settings, const CancelToken* cancel) {
    const SecretKey key = StoredOrNewKey(settings);
    KeyInstallResult result;
    result.publicKey = PublicKeyLine(key);
    {
        const SshLogin withPassword{{}, [&settings] { return ReadStoredPassword(settings); }};
        SshConnection connection = SshConnection::connect(EndpointOf(settings), &withPassword, {}, cancel);
        // The script goes to sh on standard input: whatever the account's
        // login shell (csh and fish read no POSIX syntax), it meets only "sh -s".
        PumpOptions options;
        options.cancel = cancel;
        options.idleLimitNs = 60 * kSecondNs;
        const ShortCommandResult command = RunShortCommand(
            connection, "sh -s",
            AppendKeyScript(result.publicKey, AuthorizedKeyEntry(result.publicKey, os::ComputerName(), UnixNow())),
            options);
        const bool added = command.output.find("TESMORA-KEY-ADDED") != std::string::npos;
        if (command.end.exitStatus != 0 ||
            (!added && command.output.find("TESMORA-KEY-PRESENT") == std::string::npos)) {
            throw Error(ErrorCode::KeyInstallCommandFailed, (command.output + command.end.errors).substr(0, 300));
        }
        result.added = added;
    }
    // The proof: a login with the key alone.
    const SshLogin keyOnly{[&key] { return std::optional<SecretKey>(SecretKey(key.der())); }, {}};
    try {
        SshConnection::connect(EndpointOf(settings), &keyOnly, {}, cancel);
    } catch (const CancelledError&) {
        throw;
    } catch (const Error& e) {
        throw Error(ErrorCode::KeyNotAcceptedAfterInstall,
                    std::string(e.what()) + "); is PubkeyAuthentication off in sshd_config?");
    }
    return result;
}

bool KeyFileNeedsPassphrase(const std::wstring& path) { return KeyFileIsEncrypted(FileText(path).bytes); }

void ImportKeyFile(const BackupSettings& settings, const std::wstring& path, std::string_view passphrase) {
    const SecretKey key = ImportOpenSshKey(FileText(path).bytes, passphrase);
    std::string bytes = key.der();
    StoreKey(settings, bytes);
}

}  // namespace tesmora
