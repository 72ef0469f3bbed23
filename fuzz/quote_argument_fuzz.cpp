// QuoteArgument builds the command lines of child processes; the child splits
// them with CommandLineToArgvW's rules, reproduced here, and must get each
// argument back exactly.
#include "fuzz_support.h"
#include "schedule/task_registration.h"

#include <vector>

using namespace tesmora;

namespace {

bool Separator(wchar_t c) { return c == L' ' || c == L'\t'; }

// CommandLineToArgvW: the program name ends at the next quote (when quoted)
// or blank; then 2n backslashes before a quote give n and the quote toggles
// quoting, 2n+1 give n and a literal quote, other backslashes are literal;
// inside quotes a doubled quote is a literal one.
std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> argv;
    size_t i = 0;
    std::wstring program;
    if (i < line.size() && line[i] == L'"') {
        ++i;
        while (i < line.size() && line[i] != L'"') program.push_back(line[i++]);
        if (i < line.size()) ++i;
    } else {
        while (i < line.size() && !Separator(line[i])) program.push_back(line[i++]);
    }
    argv.push_back(program);
    while (i < line.size() && Separator(line[i])) ++i;
    while (i < line.size()) {
        std::wstring arg;
        int quotes = 0;  // Wine's qcount: 0 outside quotes, 1 inside
        size_t backslashes = 0;
        while (i < line.size() && !(Separator(line[i]) && quotes == 0)) {
            const wchar_t c = line[i];
            if (c == L'\\') {
                arg.push_back(c);
                ++backslashes;
                ++i;
                continue;
            }
            if (c == L'"') {
                if (backslashes % 2 == 0) {
                    arg.resize(arg.size() - backslashes / 2);
                    ++quotes;
                } else {
                    arg.resize(arg.size() - backslashes / 2 - 1);
                    arg.push_back(L'"');
                }
                ++i;
                backslashes = 0;
                while (i < line.size() && line[i] == L'"') {
                    if (++quotes == 3) {
                        arg.push_back(L'"');
                        quotes = 0;
                    }
                    ++i;
                }
                if (quotes == 2) quotes = 0;
                continue;
            }
            arg.push_back(c);
            backslashes = 0;
            ++i;
        }
        argv.push_back(arg);
        while (i < line.size() && Separator(line[i])) ++i;
    }
    return argv;
}

std::wstring Argument(FuzzedDataProvider& in) {
    std::wstring text = fuzz::WideText(in, 256);
    // A command line ends at its first NUL; no argument can carry one.
    for (auto& c : text) {
        if (c == L'\0') c = L'\\';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::wstring> arguments;
    while (arguments.size() < 3 && in.remaining_bytes() > 0) arguments.push_back(Argument(in));

    std::wstring line = L"C:\\Windows\\System32\\schtasks.exe";
    for (const auto& argument : arguments) {
        const std::wstring quoted = QuoteArgument(argument);
        FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == L'"' && quoted.back() == L'"');
        const auto alone = SplitCommandLine(L"p " + quoted);
        FUZZ_CHECK(alone.size() == 2 && alone[1] == argument);
        line += L" " + quoted;
    }
    const auto argv = SplitCommandLine(line);
    FUZZ_CHECK(argv.size() == arguments.size() + 1);
    for (size_t k = 0; k < arguments.size(); ++k) FUZZ_CHECK(argv[k + 1] == arguments[k]);
    return 0;
}
