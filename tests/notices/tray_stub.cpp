// A stand-in for the taskbar under Wine, for the end-to-end tests of notices:
//   tesmora_tray_stub.exe LOG_FILE [--click]
// It owns the window of class "Shell_TrayWnd", where Wine's Shell_NotifyIconW
// sends each icon message, and appends one UTF-8 line per message to LOG_FILE:
//   ADD|MODIFY|DELETE <tab> flags in hex <tab> balloon title <tab> balloon text
// (line feeds in the texts written as \n). A balloon is answered as the shell
// answers it: shown, then timed out, or clicked with --click. After a click it
// waits for a window of another TesmoraBackup.exe process, logs
//   OPENED <tab> that program's path
// and closes it. The first line, READY, says the window exists. The stub ends
// itself after two minutes so a failed test never leaves it behind.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwctype>
#include <string>

namespace {

// What Wine 8's shell32 sends with WM_COPYDATA (dwData is the NIM_ message);
// the icon's bits follow when NIF_ICON is set. Windows' own Explorer takes
// another form: this stub serves Wine only.
struct WineNotifyData {
    LONG hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    UINT uTimeout;
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    UINT width, height, planes, bpp;
};
static_assert(sizeof(WineNotifyData) == 960, "the layout of Wine 8");

constexpr UINT_PTR kLookForWindow = 1;
constexpr UINT_PTR kLifetime = 2;

std::wstring logPath;
bool clickBalloons = false;
ULONGLONG lookUntil = 0;

void AppendLine(const std::wstring& line) {
    const std::wstring text = line + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    if (FILE* file = _wfopen(logPath.c_str(), L"ab")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

std::wstring Escaped(const WCHAR* text, std::size_t capacity) {
    std::wstring out;
    for (std::size_t i = 0; i < capacity && text[i] != L'\0'; ++i) {
        if (text[i] == L'\n') out += L"\\n";
        else if (text[i] == L'\\') out += L"\\\\";
        else out += text[i];
    }
    return out;
}

void LogNotifyData(ULONG_PTR message, const WineNotifyData& data) {
    const wchar_t* names[] = {L"ADD", L"MODIFY", L"DELETE"};
    wchar_t flags[16];
    std::swprintf(flags, 16, L"0x%X", data.uFlags);
    AppendLine(std::wstring(message < 3 ? names[message] : L"OTHER") + L"\t" + flags + L"\t" +
               Escaped(data.szInfoTitle, 64) + L"\t" + Escaped(data.szInfo, 256));
}

// The path of the program that owns the window, when it is a TesmoraBackup.exe.
std::wstring ProgramOf(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId()) return {};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return {};
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    if (!named) return {};
    std::wstring lower(path, size);
    for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    return lower.size() >= 17 && lower.compare(lower.size() - 17, 17, L"tesmorabackup.exe") == 0 ? std::wstring(path, size)
                                                                                             : std::wstring();
}

BOOL CALLBACK CloseOpenedWindow(HWND window, LPARAM found) {
    if (!IsWindowVisible(window)) return TRUE;
    const std::wstring program = ProgramOf(window);
    if (program.empty()) return TRUE;
    AppendLine(L"OPENED\t" + program);
    PostMessageW(window, WM_CLOSE, 0, 0);
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

LRESULT CALLBACK TrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (copy->cbData < sizeof(WineNotifyData)) return FALSE;
        const auto& data = *static_cast<const WineNotifyData*>(copy->lpData);
        LogNotifyData(copy->dwData, data);
        if ((data.uFlags & NIF_INFO) && (copy->dwData == NIM_ADD || copy->dwData == NIM_MODIFY)) {
            const HWND owner = reinterpret_cast<HWND>(static_cast<LONG_PTR>(data.hWnd));
            PostMessageW(owner, data.uCallbackMessage, data.uID, NIN_BALLOONSHOW);
            PostMessageW(owner, data.uCallbackMessage, data.uID,
                         clickBalloons ? NIN_BALLOONUSERCLICK : NIN_BALLOONTIMEOUT);
            if (clickBalloons) {
                lookUntil = GetTickCount64() + 30000;
                SetTimer(window, kLookForWindow, 100, nullptr);
            }
        }
        return TRUE;
    }
    if (message == WM_TIMER && wParam == kLookForWindow) {
        bool found = false;
        EnumWindows(CloseOpenedWindow, reinterpret_cast<LPARAM>(&found));
        if (!found && GetTickCount64() < lookUntil) return 0;
        if (!found) AppendLine(L"NO WINDOW");
        KillTimer(window, kLookForWindow);
        return 0;
    }
    if (message == WM_TIMER && wParam == kLifetime) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: tesmora_tray_stub LOG_FILE [--click]\n");
        return 2;
    }
    logPath = argv[1];
    clickBalloons = argc > 2 && std::wstring(argv[2]) == L"--click";
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = TrayProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Shell_TrayWnd";
    if (!RegisterClassW(&windowClass)) return 1;
    // Shell_NotifyIconW looks among top-level windows, so not a message-only one.
    HWND tray = CreateWindowExW(0, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    if (tray == nullptr) return 1;
    SetTimer(tray, kLifetime, 120000, nullptr);
    AppendLine(L"READY");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    DestroyWindow(tray);
    return 0;
}
