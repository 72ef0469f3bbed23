// BuildRemoteCommand: the only text that reaches the remote shell. Apart from
// its fixed frame it must be lower-case hex, of the length the limit check
// assumes, and decode to the ROOTS line and the script.
#include "config/text.h"
#include "fuzz_support.h"
#include "os/error.h"
#include "remote/remote_command.h"

#include <vector>

using namespace tesmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::wstring> paths(in.ConsumeIntegralInRange<size_t>(0, 6));
    for (auto& path : paths) path = fuzz::WideText(in, 256);
    // Sometimes a script long enough to reach the limit.
    const size_t padding = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(49000, 50100) : 0;
    std::string script = in.ConsumeRandomLengthString(1024);
    script.append(padding, '#');

    const std::string roots = RootsJson(paths);
    const size_t expectedSize = 36 + 2 * (50 + 2 * roots.size() + script.size());
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

    const std::string prefix = "python3 -c \"exec(bytes.fromhex('", suffix = "'))\"";
    FUZZ_CHECK(command.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(command.compare(command.size() - suffix.size(), suffix.size(), suffix) == 0);
    const std::string hex = command.substr(prefix.size(), command.size() - prefix.size() - suffix.size());
    FUZZ_CHECK(hex.find_first_not_of("0123456789abcdef") == std::string::npos);
    const auto program = fuzz::Unhex(hex);
    FUZZ_CHECK(program.has_value());

    const std::string head = "ROOTS=__import__('json').loads(bytes.fromhex('", tail = "'))\n";
    FUZZ_CHECK(program->compare(0, head.size(), head) == 0);
    const size_t close = program->find(tail, head.size());
    FUZZ_CHECK(close != std::string::npos);
    FUZZ_CHECK(program->substr(close + tail.size()) == script);
    const auto json = fuzz::Unhex(std::string_view(*program).substr(head.size(), close - head.size()));
    FUZZ_CHECK(json.has_value() && *json == roots);

    // The roots: a JSON array of strings, one per path, each its UTF-8.
    size_t at = 0;
    FUZZ_CHECK(!json->empty() && (*json)[at++] == '[');
    for (size_t k = 0; k < paths.size(); ++k) {
        if (k > 0) FUZZ_CHECK(at < json->size() && (*json)[at++] == ',');
        const auto value = fuzz::ReadJsonString(*json, at);
        FUZZ_CHECK(value && *value == ToUtf8(paths[k]));
    }
    FUZZ_CHECK(at + 1 == json->size() && (*json)[at] == ']');
    return 0;
}
