#include "remote/remote_command.h"

#include "config/text.h"
#include "os/error.h"
#include "os/os.h"
#include "resource_ids.h"

namespace tesmora {

std::string RootsJson(const std::vector<std::wstring>& paths) {
    std::string json = "[";
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) json += ",";
        json += JsonQuote(paths[i]);
    }
    return json + "]";
}

std::string BuildRemoteCommand(std::string_view script, const std::vector<std::wstring>& paths) {
    std::string program = "ROOTS=__import__('json').loads(bytes.fromhex('" + HexLower(RootsJson(paths)) + "'))\n";
    program.append(script);
    std::string command = "python3 -c \"exec(bytes.fromhex('" + HexLower(program) + "'))\"";
    if (command.size() > kMaxRemoteCommandBytes) throw Error("Too many source paths; shorten the list");
    return command;
}

std::string EmbeddedBackupScript() {
    std::string script = os::LoadResourceBytes(TESMORA_RESOURCE_REMOTE_SCRIPT);
    if (script.empty()) throw Error("Embedded backup script missing");
    return script;
}

}  // namespace tesmora
