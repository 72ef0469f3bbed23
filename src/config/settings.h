// The settings record: what to back up, from which server, to which drive,
// how often and how many copies to keep. A plain value, copied freely.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tesmora {

struct BackupSettings {
    std::wstring id;           // binding id of the drive, a GUID text
    std::wstring device;       // identity string of the bound drive
    std::wstring host;
    std::wstring user;
    std::wstring fingerprint;  // pinned host key, "SHA256:" + base64
    std::int32_t port = 22;
    std::int32_t hours = 24;   // backup interval
    std::int32_t keep = 0;     // snapshots to keep; 0 keeps all
    bool automatic = true;     // scheduled runs enabled
    std::vector<std::wstring> paths{L"/var/www", L"/etc/nginx", L"/var/log/nginx"};
    std::wstring drive_root;   // root of the drive the settings belong to, such as F:\ .
};

}  // namespace tesmora
