// Runs that never got going: an account that may not run commands, a server
// without a python3 new enough, a login script that prints text ahead of the
// program's output. Each has a cause the user can fix, so each gets its own
// message instead of the program's generic failure.
#pragma once

#include "os/error.h"
#include "remote/channel_pump.h"

#include <optional>
#include <string>
#include <string_view>

namespace tesmora {

// What the program's standard output begins with when all is well.
enum class ExpectedOutput {
    Archive,  // a gzip member
    Answer,   // a JSON object
};

// The kept start of standard output: enough to quote and to tell text from data.
inline constexpr std::size_t kOutputHeadBytes = 4096;

// The error that explains a run from its end and the start of its output, or
// nothing when the program itself ran and its own error text says it all.
std::optional<Error> LaunchFailure(const PumpResult& end, std::string_view outputHead, ExpectedOutput expected);

// Whether standard output starts with text that is not what the program
// sends: a login script's greeting, ahead of the gzip member or the answer.
bool StartsWithForeignText(std::string_view outputHead, ExpectedOutput expected);

// The error for such text, quoting its start.
Error LoginScriptOutput(std::string_view outputHead, ExpectedOutput expected);

// The first line of a text as a message quotes it: in double quotes, control
// characters as \xNN, cut to 100 characters with "…".
std::string QuotedStart(std::string_view text);

}  // namespace tesmora
