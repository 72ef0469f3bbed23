// Known folders, the running program, resources, the clock and Winsock.
#include "os/error.h"
#include "os/text.h"
#include "os/os.h"
#include "os/win/win32.h"

#include <knownfolders.h>
#include <psapi.h>
#include <shlobj.h>
#include <winsock2.h>

#include <vector>

namespace tesmora::os {

std::wstring EnvironmentText(const std::wstring& name) {
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return value;
}

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

std::wstring LocalAppDataFolder() {
    PWSTR folder = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
    std::wstring path = SUCCEEDED(result) && folder != nullptr ? std::wstring(folder) : std::wstring();
    CoTaskMemFree(folder);
    if (path.empty()) throw Error(ErrorCode::LocalDataFolderNotFound);
    return path;
}

std::string SystemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
        message.pop_back();
    }
    if (message.empty()) return "Windows error " + std::to_string(code);
    return ToUtf8(message);
}

std::wstring ExecutablePath() {
    std::vector<wchar_t> buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length);
}

namespace {

// Where the lines of a mode go. A GUI-subsystem program gets no console of
// its own (so none flashes up when Task Scheduler starts it):
// - a standard output that is a file or a pipe (`> file`, `| more`,
//   PowerShell's pipeline) or NUL is used as it is;
// - a console handle the process may use (Wine hands one over) is used;
// - otherwise the program attaches to the console of the process that
//   started it (cmd.exe, PowerShell), if that has one, and writes to it.
HANDLE OutputHandle() {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    const DWORD type =
        handle == nullptr || handle == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(handle);
    DWORD mode = 0;
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) return handle;
    if (type == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) return handle;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return type == FILE_TYPE_CHAR ? handle : INVALID_HANDLE_VALUE;
    // A character device is now a handle of the console just attached to,
    // or NUL (`> nul`); PrintLine tells them apart at each line.
    if (type == FILE_TYPE_CHAR) return handle;
    // Read access too: without it GetConsoleMode fails and WriteConsoleW is not used.
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace

void PrintLine(const std::wstring& text) {
    static const HANDLE out = OutputHandle();
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const std::wstring line = text + L"\r\n";
    DWORD mode = 0, written = 0;
    // A console takes UTF-16 whatever its code page.
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    // Redirected to a file or a pipe: UTF-8, whatever the console's code page.
    const std::string bytes = ToUtf8(line);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ShowErrorMessage(const std::wstring& text, const std::wstring& caption) {
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
}

std::string LoadResourceBytes(int id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (found == nullptr) return {};
    const DWORD size = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) return {};
    return std::string(static_cast<const char*>(data), size);
}

std::uint64_t WallClock100ns() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t since1601 = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t k1601To1970 = 116444736000000000ULL;
    return since1601 >= k1601To1970 ? since1601 - k1601To1970 : 0;
}

std::uint64_t MonotonicNanoseconds() {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000000ULL + ticks % perSecond * 1000000000ULL / perSecond;
}

std::uint64_t PeakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.PeakWorkingSetSize;
}

NetworkLibrary::NetworkLibrary() {
    WSADATA data{};
    WSAStartup(0x0202, &data);  // Without sockets only the SSH features fail, each with its own message.
}

NetworkLibrary::~NetworkLibrary() { WSACleanup(); }

}  // namespace tesmora::os
