// Known folders, the running program, resources and the clock in the native build.
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"
#include "os/posix/embedded_resources.h"

#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tesmora::os {

std::wstring EnvironmentText(const std::wstring& name) {
    const char* value = std::getenv(ToUtf8(name).c_str());
    return value != nullptr ? FromUtf8(value) : std::wstring();
}

std::wstring ComputerName() {
    char name[256] = {};
    return gethostname(name, sizeof(name) - 1) == 0 ? FromUtf8(name) : std::wstring();
}

std::wstring LocalAppDataFolder() {
    // The XDG data home plays the part of the local application data folder.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') return FromUtf8(dataHome);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return FromUtf8(std::string(home) + "/.local/share");
    throw Error(ErrorCode::LocalDataFolderNotFound);
}

std::string SystemErrorText(unsigned long code) {
    char buffer[256] = {};
    // The GNU strerror_r may answer with a static text instead of filling the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
    return text != nullptr ? text : "error " + std::to_string(code);
}

std::wstring ExecutablePath() {
    std::vector<char> buffer(32768, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? FromUtf8(std::string(buffer.data(), static_cast<size_t>(length))) : std::wstring();
}

void PrintLine(const std::wstring& text) {
    std::fputs((ToUtf8(text) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void ShowErrorMessage(const std::wstring& text, const std::wstring& caption) {
    std::fprintf(stderr, "%s: %s\n", ToUtf8(caption).c_str(), ToUtf8(text).c_str());
}

std::string LoadResourceBytes(int id) {
    for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
        const EmbeddedResource& resource = kEmbeddedResources[i];
        if (resource.id == id) return std::string(reinterpret_cast<const char*>(resource.data), resource.size);
    }
    return {};
}

std::uint64_t WallClock100ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 10000000ULL + static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

std::uint64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t PeakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

NetworkLibrary::NetworkLibrary() {
    // A write to a socket the server closed must fail with an error, as on
    // Windows, instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
}

NetworkLibrary::~NetworkLibrary() = default;

}  // namespace tesmora::os
