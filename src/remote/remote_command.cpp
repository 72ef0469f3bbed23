#include "remote/remote_command.h"

#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "resource_ids.h"

#include <zlib.h>

namespace tesmora {
namespace {

// Base64 takes a third less room than hex, and its letters, digits, "+", "/"
// and "=" mean nothing to the shell inside double quotes.
constexpr char kCommandHead[] = "python3 -X utf8 -c \"import json,zlib,base64;_p=zlib.decompress(base64.b64decode('";
// Splits at the first line feed (bytes([10]) needs no backslash inside the
// shell's double quotes): the JSON value before it has none of its own.
constexpr char kCommandTail[] = "')).split(bytes([10]),1);ROOTS=json.loads(_p[0].decode());exec(_p[1])\"";

}  // namespace

std::string RootsJson(const std::vector<std::wstring>& paths) {
    std::string json = "[";
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) json += ",";
        json += JsonQuote(paths[i]);
    }
    return json + "]";
}

std::string RequestJson(const BackupRequest& request) {
    std::string json = "{\"paths\":" + RootsJson(request.paths) + ",\"databases\":" + RootsJson(request.databases);
    json += std::string(",\"detect\":") + (request.detectDatabases ? "true" : "false");
    return json + ",\"mode\":" + (request.detectOnly ? "\"detect\"}" : "\"backup\"}");
}

std::string RemotePayload(std::string_view script, const std::vector<std::wstring>& paths) {
    return RemotePayload(script, std::string_view(RootsJson(paths)));
}

std::string RemotePayload(std::string_view script, std::string_view firstLine) {
    std::string plain(firstLine);
    plain += "\n";
    plain.append(script);
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                  static_cast<uLong>(plain.size()), Z_BEST_COMPRESSION) != Z_OK) {
        throw Error("Out of memory");
    }
    packed.resize(size);
    return packed;
}

namespace {

std::string CommandFor(const std::string& payload) {
    const std::string text = Base64(payload);
    if (sizeof(kCommandHead) - 1 + text.size() + sizeof(kCommandTail) - 1 > kMaxRemoteCommandBytes) {
        throw Error(ErrorCode::TooManyPaths, "Too many source paths; shorten the list");
    }
    return kCommandHead + text + kCommandTail;
}

}  // namespace

std::string BuildRemoteCommand(std::string_view script, const std::vector<std::wstring>& paths) {
    return CommandFor(RemotePayload(script, paths));
}

std::string BuildBackupCommand(std::string_view script, const BackupRequest& request) {
    return CommandFor(RemotePayload(script, std::string_view(RequestJson(request))));
}

std::string EmbeddedBackupScript() {
    std::string script = os::LoadResourceBytes(TESMORA_RESOURCE_REMOTE_SCRIPT);
    if (script.empty()) throw Error(ErrorCode::ProgramDamaged, "Embedded backup script missing");
    return script;
}

}  // namespace tesmora
