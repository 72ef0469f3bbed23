#include "remote/remote_command.h"

#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "resource_ids.h"

#include <zlib.h>

namespace tesmora {
namespace {

// The version test comes first, in a form every python3 parses, so that an
// old one says what it is instead of failing somewhere in the program. The
// program gets the buffered standard input as IN: it reads its request and
// what follows from the same buffer the loader read from.
constexpr std::string_view kLoader =
    "python3 -X utf8 -c \"import sys,zlib;v=sys.version_info;v<(3,7)and sys.exit("
    "'python3 3.7 or newer is needed on the server; found %d.%d'%v[:2]);i=sys.stdin.buffer;"
    "exec(zlib.decompress(i.read(int(i.readline()))),{'__name__':'__main__','IN':i})\"";

std::string Compressed(std::string_view plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                  static_cast<uLong>(plain.size()), Z_BEST_COMPRESSION) != Z_OK) {
        throw Error(ErrorCode::OutOfMemory);
    }
    packed.resize(size);
    return packed;
}

}  // namespace

std::string_view LoaderCommand() { return kLoader; }

std::string Frame(std::string_view bytes) {
    std::string frame = std::to_string(bytes.size()) + "\n";
    frame.append(bytes);
    return frame;
}

ProgramLaunch LaunchProgramAlone(std::string_view script) { return {std::string(kLoader), Frame(Compressed(script))}; }

ProgramLaunch LaunchProgram(std::string_view script, std::string_view requestJson) {
    ProgramLaunch launch = LaunchProgramAlone(script);
    launch.input += Frame(requestJson);
    return launch;
}

std::string JsonList(const std::vector<std::wstring>& texts) {
    std::string json = "[";
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) json += ",";
        json += JsonQuote(texts[i]);
    }
    return json + "]";
}

std::string RequestJson(const BackupRequest& request) {
    std::string json = "{\"paths\":" + JsonList(request.paths) + ",\"databases\":" + JsonList(request.databases);
    json += std::string(",\"detect\":") + (request.detectDatabases ? "true" : "false");
    if (!request.previousIndex.empty()) json += ",\"previous\":" + request.previousIndex;
    switch (request.mode) {
        case BackupRequest::Mode::Backup: return json + ",\"mode\":\"backup\"}";
        case BackupRequest::Mode::Detect: return json + ",\"mode\":\"detect\"}";
        case BackupRequest::Mode::Probe: return json + ",\"mode\":\"probe\"}";
    }
    return json + "}";
}

ProgramLaunch LaunchBackupProgram(std::string_view script, const BackupRequest& request) {
    ProgramLaunch launch = LaunchProgramAlone(script);
    launch.input += RequestFrame(request);
    return launch;
}

std::string RequestFrame(const BackupRequest& request) {
    // Compressed: the index of a large site is tens of megabytes of JSON,
    // which the upload of a home link would carry on every run.
    return Frame(Compressed(RequestJson(request)));
}

std::string EmbeddedBackupScript() {
    // One program text: the site configuration readers define what the
    // backup program calls when it looks for the sites' databases.
    std::string readers = os::LoadResourceBytes(TESMORA_RESOURCE_SITE_CONFIGS);
    std::string program = os::LoadResourceBytes(TESMORA_RESOURCE_REMOTE_SCRIPT);
    if (readers.empty() || program.empty()) throw Error(ErrorCode::BackupScriptMissing);
    return readers + "\n" + program;
}

}  // namespace tesmora
