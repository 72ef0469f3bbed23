// Child processes on Windows.
#include "config/text.h"
#include "os/error.h"
#include "os/os.h"
#include "os/win/win32.h"

#include <utility>

namespace tesmora::os {
namespace {

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteForCommandLine(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : handle_(std::exchange(other.handle_, kEmpty)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, kEmpty);
    }
    return *this;
}

ChildProcess::~ChildProcess() { reset(); }

void ChildProcess::reset() {
    if (handle_ == kEmpty) return;
    kill();
}

ChildProcess ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = QuoteForCommandLine(program);
    for (const auto& argument : arguments) commandLine += L" " + QuoteForCommandLine(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        throw Error("Cannot start " + ToUtf8(program));
    }
    CloseHandle(info.hThread);
    ChildProcess child;
    child.handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
    return child;
}

bool ChildProcess::waitFor(std::chrono::milliseconds timeout, int& exitCode) {
    if (handle_ == kEmpty) return false;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    exitCode = static_cast<int>(code);
    CloseHandle(process);
    handle_ = kEmpty;
    return true;
}

void ChildProcess::kill() {
    if (handle_ == kEmpty) return;
    HANDLE process = reinterpret_cast<HANDLE>(std::exchange(handle_, kEmpty));
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
}

}  // namespace tesmora::os

namespace tesmora::os {

std::optional<std::uint32_t> ChildProcess::RunHidden(const std::wstring& commandLine,
                                                     std::chrono::milliseconds timeout) {
    std::wstring modifiable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, modifiable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return std::nullopt;
    }
    WaitForSingleObject(info.hProcess, static_cast<DWORD>(timeout.count()));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<std::uint32_t>(code);
}

}  // namespace tesmora::os
