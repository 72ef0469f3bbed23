// Child processes on Windows.
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"
#include "os/win/win32.h"

#include <utility>

namespace tesmora::os {

ChildProcess ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = QuoteArgument(program);
    for (const auto& argument : arguments) commandLine += L" " + QuoteArgument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        throw Error(ErrorCode::CannotStart, ToUtf8(program));
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
