// The one command that carries the server-side backup program and the source
// paths to the server. Apart from its fixed text it is hexadecimal digits only,
// so no path reaches the remote shell or the Python parser unencoded.
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

// The ROOTS list, a line feed and the program, compressed with zlib: the
// command carries this as hex, and it unpacks it on the server.
std::string RemotePayload(std::string_view script, const std::vector<std::wstring>& paths);

// python3 -X utf8 -c "import json,zlib;_p=zlib.decompress(bytes.fromhex('<hex of the
// payload>')).split(bytes([10]),1);ROOTS=json.loads(_p[0].decode());exec(_p[1])".
// Raises "Too many source paths; shorten the list" above kMaxRemoteCommandBytes.
std::string BuildRemoteCommand(std::string_view script, const std::vector<std::wstring>& paths);

// The server-side program built into the executable. Raises "Embedded backup
// script missing".
std::string EmbeddedBackupScript();

}  // namespace tesmora
