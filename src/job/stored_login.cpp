#include "job/stored_login.h"

#include "config/credentials.h"

namespace tesmora {

SshEndpoint EndpointOf(const BackupSettings& settings) {
    return SshEndpoint{settings.host, settings.port, settings.user, settings.fingerprint};
}

SshLogin StoredLogin(const BackupSettings& settings) {
    return SshLogin{[settings]() -> std::optional<SecretKey> {
                        std::optional<std::string> bytes = ReadStoredKey(settings);
                        if (!bytes) return std::nullopt;
                        return SecretKey(std::move(*bytes));
                    },
                    [settings] { return ReadStoredPassword(settings); }};
}

LogLine LoginLine(const SshConnection& connection) {
    const wchar_t* method = L"none";
    switch (connection.loginMethod()) {
        case LoginMethod::Key: method = L"key"; break;
        case LoginMethod::Password: method = L"password"; break;
        case LoginMethod::KeyboardInteractive: method = L"keyboard-interactive"; break;
        case LoginMethod::None: break;
    }
    return LogLine::Login(method, connection.keyRefused());
}

}  // namespace tesmora
