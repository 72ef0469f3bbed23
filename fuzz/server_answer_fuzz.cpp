// What reaches the server and what comes back. The launch: the loader is
// the whole command whatever the request, and standard input holds exactly
// two frames, the program and the request. The answer: whatever a server
// sends, its explanation never fails and quotes it without control
// characters; and a backup.log line reads back as what was written.
#include "config/backup_log.h"
#include "fuzz_support.h"
#include "remote/launch_failure.h"
#include "remote/remote_command.h"

#include <zlib.h>

using namespace tesmora;

namespace {

// Takes one frame off the front of `input`; empty when there is none.
std::optional<std::string> NextFrame(std::string_view& input) {
    const std::size_t end = input.find('\n');
    if (end == std::string_view::npos || end == 0 || end > 20) return std::nullopt;
    std::size_t size = 0;
    for (const char c : input.substr(0, end)) {
        if (c < '0' || c > '9') return std::nullopt;
        size = size * 10 + static_cast<std::size_t>(c - '0');
    }
    if (input.size() - end - 1 < size) return std::nullopt;
    std::string frame(input.substr(end + 1, size));
    input.remove_prefix(end + 1 + size);
    return frame;
}

// Both frames are zlib streams; `expected` bounds the output so that a
// frame holding more than it should is caught as well.
std::string Inflate(const std::string& frame, std::size_t expected) {
    std::string unpacked(expected + 64, '\0');
    uLongf length = static_cast<uLongf>(unpacked.size());
    FUZZ_CHECK(uncompress(reinterpret_cast<Bytef*>(unpacked.data()), &length,
                          reinterpret_cast<const Bytef*>(frame.data()), static_cast<uLong>(frame.size())) == Z_OK);
    unpacked.resize(length);
    return unpacked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    BackupRequest request;
    request.paths.resize(in.ConsumeIntegralInRange<size_t>(0, 4));
    for (auto& path : request.paths) path = fuzz::WideText(in, 128);
    request.databases.resize(in.ConsumeIntegralInRange<size_t>(0, 2));
    for (auto& entry : request.databases) entry = fuzz::WideText(in, 64);
    const std::string script = in.ConsumeRandomLengthString(512);
    const ProgramLaunch launch = LaunchBackupProgram(script, request);
    FUZZ_CHECK(launch.command == LoaderCommand());
    std::string_view input = launch.input;
    const auto program = NextFrame(input);
    const auto sent = NextFrame(input);
    FUZZ_CHECK(program && sent && input.empty());
    FUZZ_CHECK(Inflate(*program, script.size()) == script);
    const std::string json = RequestJson(request);
    FUZZ_CHECK(Inflate(*sent, json.size()) == json);
    FUZZ_CHECK(json.find('\n') == std::string::npos);

    PumpResult end;
    end.exitStatus = in.ConsumeIntegralInRange<int>(0, 255);
    if (in.ConsumeBool()) end.signal = in.ConsumeRandomLengthString(8);
    end.errors = in.ConsumeRandomLengthString(256);
    const std::string head = in.ConsumeRandomLengthString(512);
    for (const ExpectedOutput expected : {ExpectedOutput::Archive, ExpectedOutput::Answer}) {
        if (const auto failure = LaunchFailure(end, head, expected)) {
            for (const char c : std::string(failure->what())) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
        }
    }
    for (const char c : QuotedStart(head)) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);

    const std::wstring message = fuzz::WideText(in, 256);
    FUZZ_CHECK(ParseLogMessage(message).message == message);
    return 0;
}
