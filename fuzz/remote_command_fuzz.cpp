// BuildRemoteCommand: the only text that reaches the remote shell. Apart from
// its fixed frame it must be base64, refused exactly when it would
// pass the limit, and unpack to the ROOTS list, a line feed and the script.
#include "fuzz_support.h"
#include "os/error.h"
#include "os/text.h"
#include "remote/remote_command.h"

#include <zlib.h>

#include <vector>

using namespace tesmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::wstring> paths(in.ConsumeIntegralInRange<size_t>(0, 6));
    for (auto& path : paths) path = fuzz::WideText(in, 256);
    // Sometimes a script long enough to reach the limit, of bytes zlib cannot shrink.
    std::string script = in.ConsumeRandomLengthString(1024);
    if (in.ConsumeBool()) {
        std::uint32_t state = in.ConsumeIntegral<std::uint32_t>() | 1;
        for (size_t n = in.ConsumeIntegralInRange<size_t>(15000, 17000); n > 0; --n) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            script.push_back(static_cast<char>(state));
        }
    }

    const std::string head = "python3 -X utf8 -c \"import json,zlib,base64;_p=zlib.decompress(base64.b64decode('";
    const std::string tail = "')).split(bytes([10]),1);ROOTS=json.loads(_p[0].decode());exec(_p[1])\"";
    const size_t expectedSize = head.size() + (RemotePayload(script, paths).size() + 2) / 3 * 4 + tail.size();
    std::string command;
    try {
        command = BuildRemoteCommand(script, paths);
    } catch (const Error& e) {
        FUZZ_CHECK(expectedSize > kMaxRemoteCommandBytes);
        FUZZ_CHECK(std::string(e.what()) == "Too many source paths; shorten the list");
        return 0;
    }
    FUZZ_CHECK(expectedSize <= kMaxRemoteCommandBytes);
    FUZZ_CHECK(command.size() == expectedSize);
    FUZZ_CHECK(command.compare(0, head.size(), head) == 0);
    FUZZ_CHECK(command.compare(command.size() - tail.size(), tail.size(), tail) == 0);
    const std::string text = command.substr(head.size(), command.size() - head.size() - tail.size());
    FUZZ_CHECK(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
               std::string::npos);
    const auto packed = fuzz::Unbase64(text);
    FUZZ_CHECK(packed.has_value());
    std::string payload(64 * 1024, '\0');
    uLongf length = static_cast<uLongf>(payload.size());
    FUZZ_CHECK(uncompress(reinterpret_cast<Bytef*>(payload.data()), &length,
                          reinterpret_cast<const Bytef*>(packed->data()), static_cast<uLong>(packed->size())) == Z_OK);
    payload.resize(length);

    // The roots: a JSON array of strings, one per path, each its UTF-8, then
    // the first line feed, then the script as it is.
    const std::string roots = RootsJson(paths);
    FUZZ_CHECK(payload.find('\n') == roots.size());
    FUZZ_CHECK(payload.compare(0, roots.size(), roots) == 0);
    FUZZ_CHECK(payload.substr(roots.size() + 1) == script);
    size_t at = 0;
    FUZZ_CHECK(!roots.empty() && roots[at++] == '[');
    for (size_t k = 0; k < paths.size(); ++k) {
        if (k > 0) FUZZ_CHECK(at < roots.size() && roots[at++] == ',');
        const auto value = fuzz::ReadJsonString(roots, at);
        FUZZ_CHECK(value && *value == ToUtf8(paths[k]));
    }
    FUZZ_CHECK(at + 1 == roots.size() && roots[at] == ']');
    return 0;
}
