// Notices on Windows: the balloon of a notification-area icon, which Windows
// 10 and 11 show as a notification. Nothing here runs unless a notice is due,
// so an idle scheduled start never creates a window.
#include "os/os.h"
#include "os/win/win32.h"
#include "resource_ids.h"

#include <shellapi.h>

#include <algorithm>
#include <memory>

namespace tesmora::os {
namespace {

constexpr UINT kCallbackMessage = WM_APP + 1;
constexpr UINT kIconId = 1;
constexpr wchar_t kWindowClass[] = L"TesmoraBackupNotice";

// What the icon reported: the balloon is gone, and whether by a click.
struct NoticeOutcome {
    bool finished = false;
    bool clicked = false;
};

LRESULT CALLBACK NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* outcome = reinterpret_cast<NoticeOutcome*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != kCallbackMessage || outcome == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    // Without NIM_SETVERSION the event is all of lParam; LOWORD also serves version 4.
    switch (LOWORD(lParam)) {
        case NIN_BALLOONUSERCLICK:
        case WM_LBUTTONUP:
            outcome->clicked = true;
            outcome->finished = true;
            break;
        case NIN_BALLOONTIMEOUT:  // timed out or closed by the user
        case NIN_BALLOONHIDE:     // taken away by the shell
            outcome->finished = true;
            break;
        default:
            break;
    }
    return 0;
}

// A hidden message-only window that owns the icon and receives its events;
// its class is registered for as long as it lives.
class NoticeWindow {
public:
    explicit NoticeWindow(NoticeOutcome& outcome) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = NoticeWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        registered_ = RegisterClassExW(&windowClass) != 0;
        if (!registered_) return;
        window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
        if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&outcome));
    }
    ~NoticeWindow() {
        if (window_ != nullptr) DestroyWindow(window_);
        if (registered_) UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    }
    NoticeWindow(const NoticeWindow&) = delete;
    NoticeWindow& operator=(const NoticeWindow&) = delete;

    HWND get() const { return window_; }

private:
    bool registered_ = false;
    HWND window_ = nullptr;
};

// The program's own small icon, for the notification area.
class SmallIcon {
public:
    SmallIcon()
        : icon_(static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TESMORA_RESOURCE_ICON),
                                              IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0))) {}
    ~SmallIcon() {
        if (icon_ != nullptr) DestroyIcon(icon_);
    }
    SmallIcon(const SmallIcon&) = delete;
    SmallIcon& operator=(const SmallIcon&) = delete;

    HICON get() const { return icon_; }

private:
    HICON icon_;
};

// Copies as much of the text as the field holds, always terminated.
template <std::size_t N>
void CopyField(wchar_t (&field)[N], const std::wstring& text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::copy_n(text.data(), length, field);
    field[length] = L'\0';
}

// The icon with its balloon, from NIM_ADD to NIM_DELETE.
class TrayIcon {
public:
    TrayIcon(HWND window, HICON icon, const std::wstring& title, const std::wstring& text) {
        data_.cbSize = sizeof(data_);
        data_.hWnd = window;
        data_.uID = kIconId;
        data_.uFlags = NIF_MESSAGE | NIF_TIP | NIF_INFO | (icon != nullptr ? NIF_ICON : 0);
        data_.uCallbackMessage = kCallbackMessage;
        data_.hIcon = icon;
        CopyField(data_.szTip, L"Tesmora Backup");
        CopyField(data_.szInfoTitle, title);
        CopyField(data_.szInfo, text);
        data_.dwInfoFlags = NIIF_WARNING;
        added_ = Shell_NotifyIconW(NIM_ADD, &data_) != FALSE;
    }
    ~TrayIcon() {
        if (!added_) return;
        data_.uFlags = 0;
        Shell_NotifyIconW(NIM_DELETE, &data_);
    }
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    bool added() const { return added_; }

private:
    NOTIFYICONDATAW data_{};
    bool added_ = false;
};

// Runs the window's messages until the balloon is gone or `longest` passed.
void WaitForOutcome(const NoticeOutcome& outcome, std::chrono::milliseconds longest) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(longest.count());
    while (!outcome.finished) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        // MWMO_INPUTAVAILABLE: an event posted while NIM_ADD was still being sent counts too.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
}

// Starts the program on its own; it outlives this process.
void StartDetached(const std::wstring& program) {
    std::wstring commandLine = QuoteArgument(program);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // The click gave this process the right to bring a window forward; the
    // settings window is the one that should use it.
    AllowSetForegroundWindow(ASFW_ANY);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return;
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> process(info.hProcess, &CloseHandle);
    const std::unique_ptr<void, decltype(&CloseHandle)> thread(info.hThread, &CloseHandle);
}

}  // namespace

bool ShowNotice(const std::wstring& title, const std::wstring& text, const std::wstring& programToStartOnClick,
                std::chrono::milliseconds longest) {
    NoticeOutcome outcome;
    NoticeWindow window(outcome);
    if (window.get() == nullptr) return false;
    const SmallIcon icon;
    TrayIcon tray(window.get(), icon.get(), title, text);
    if (!tray.added()) return false;
    WaitForOutcome(outcome, longest);
    if (outcome.clicked) StartDetached(programToStartOnClick);
    return true;
}

}  // namespace tesmora::os
