// Child processes in the native build.
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

extern char** environ;

namespace tesmora::os {
namespace {

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

ChildProcess ChildProcess::Start(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::vector<std::string> strings{ToUtf8(program)};
    for (const auto& argument : arguments) strings.push_back(ToUtf8(argument));
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, strings[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        throw Error(ErrorCode::CannotStart, strings[0]);
    }
    ChildProcess child;
    child.handle_ = pid;
    return child;
}

bool ChildProcess::waitFor(std::chrono::milliseconds timeout, int& exitCode) {
    if (handle_ == kEmpty) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
        if (done == static_cast<pid_t>(handle_)) {
            handle_ = kEmpty;
            exitCode = ExitCodeOf(status);
            return true;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::kill() {
    if (handle_ == kEmpty) return;
    const auto pid = static_cast<pid_t>(std::exchange(handle_, kEmpty));
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

}  // namespace tesmora::os

namespace tesmora::os {

std::optional<std::uint32_t> ChildProcess::RunHidden(const std::wstring& commandLine,
                                                     std::chrono::milliseconds timeout) {
    // The shell plays the part of the Windows search for the program.
    ChildProcess child;
    try {
        child = Start(L"/bin/sh", {L"-c", commandLine});
    } catch (const Error&) {
        return std::nullopt;
    }
    int exitCode = 0;
    if (!child.waitFor(timeout, exitCode)) {
        child.handle_ = kEmpty;  // left running, as on Windows
        return 259;
    }
    return static_cast<std::uint32_t>(exitCode);
}

}  // namespace tesmora::os
