// The one command that carries the server-side backup program and the source
// paths to the server. Apart from its fixed text it is base64 only (letters,
// digits, "+", "/" and "="), so no path reaches the remote shell or the Python
// parser unencoded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

// libssh2 sends the exec request as one packet of at most 35 000 bytes, which
// leaves 34 725 bytes for the command with the default cipher; the rest is
// headroom for ciphers with longer padding and MACs. A longer command would
// fail at launch with a message that does not name the cause.
inline constexpr size_t kMaxRemoteCommandBytes = 32768;

// ["/var/www","/etc"]: each path JSON-quoted, no spaces.
std::string RootsJson(const std::vector<std::wstring>& paths);

// What the backup program is asked for: the sources, the databases named in
// the settings ("mysql:NAME", "postgresql:NAME"), whether it looks for more in
// the sites' configuration files, and whether it only lists them.
struct BackupRequest {
    std::vector<std::wstring> paths;
    std::vector<std::wstring> databases;
    bool detectDatabases = true;
    bool detectOnly = false;
};

// {"paths":[...],"databases":[...],"detect":true,"mode":"backup"}, which the
// backup program takes in ROOTS; an older program's plain list still works.
std::string RequestJson(const BackupRequest& request);

// The first line (the ROOTS JSON), a line feed and the program, compressed
// with zlib: the command carries this as base64, and it unpacks it on the server.
std::string RemotePayload(std::string_view script, const std::vector<std::wstring>& paths);
std::string RemotePayload(std::string_view script, std::string_view firstLine);

// python3 -X utf8 -c "import json,zlib,base64;_p=zlib.decompress(base64.b64decode('<base64
// of the payload>')).split(bytes([10]),1);ROOTS=json.loads(_p[0].decode());exec(_p[1])".
// Raises "Too many source paths; shorten the list" above kMaxRemoteCommandBytes.
std::string BuildRemoteCommand(std::string_view script, const std::vector<std::wstring>& paths);
std::string BuildBackupCommand(std::string_view script, const BackupRequest& request);

// The server-side program built into the executable. Raises "Embedded backup
// script missing".
std::string EmbeddedBackupScript();

}  // namespace tesmora
