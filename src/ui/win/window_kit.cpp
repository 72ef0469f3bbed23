// DPI scaling, fonts, table-driven controls and the worker thread shared by
// the settings, snapshots and help windows.
#include "os/error.h"
#include "os/text.h"
#include "resource_ids.h"
#include "ui/form.h"
#include "ui/win/window_state.h"
#include "ui/window_texts.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <map>
#include <thread>

namespace tesmora::ui {
namespace {

std::map<UINT, HFONT>& Fonts() {
    static std::map<UINT, HFONT> fonts;
    return fonts;
}

BusyFlag g_busy;

// The settings window's taskbar button; made on first use on the window
// thread, released before its COM apartment closes.
ITaskbarList3* g_taskbar = nullptr;

ITaskbarList3* Taskbar() {
    if (g_taskbar == nullptr &&
        SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&g_taskbar))) &&
        FAILED(g_taskbar->HrInit())) {
        ReleaseTaskbar();
    }
    return g_taskbar;
}

}  // namespace

UINT WindowDpi(HWND window) {
    // GetDpiForWindow exists from Windows 10 1607; older systems have one DPI.
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const auto forWindow = reinterpret_cast<DpiForWindow>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (forWindow != nullptr && window != nullptr) {
        const UINT dpi = forWindow(window);
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

HFONT UiFont(UINT dpi) {
    HFONT& font = Fonts()[dpi];
    if (font == nullptr) {
        font = CreateFontW(-Scaled(17, dpi), 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                           CLEARTYPE_QUALITY, 0, L"Segoe UI");
    }
    return font;
}

void DeleteUiFonts() {
    for (auto& [dpi, font] : Fonts()) DeleteObject(font);
    Fonts().clear();
}

void ShowProgress(HWND bar, const ProgressReading& reading) {
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    ITaskbarList3* taskbar = MainWindow() != nullptr ? Taskbar() : nullptr;
    // A moving bar while the server has not yet counted what it will send.
    if (!reading.known) {
        if ((style & PBS_MARQUEE) == 0) SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, 50);
        if (taskbar != nullptr) taskbar->SetProgressState(MainWindow(), TBPF_INDETERMINATE);
        return;
    }
    if ((style & PBS_MARQUEE) != 0) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
    }
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(reading.percent), 0);
    if (taskbar != nullptr) {
        taskbar->SetProgressState(MainWindow(), TBPF_NORMAL);
        taskbar->SetProgressValue(MainWindow(), static_cast<ULONGLONG>(reading.percent), 100);
    }
}

void EndTaskbarProgress() {
    if (g_taskbar != nullptr && MainWindow() != nullptr) g_taskbar->SetProgressState(MainWindow(), TBPF_NOPROGRESS);
}

void ReleaseTaskbar() {
    if (g_taskbar != nullptr) g_taskbar->Release();
    g_taskbar = nullptr;
}

void CreateControls(HWND parent, const std::vector<ControlSpec>& table, UINT dpi) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const ControlSpec& entry : table) {
        const std::wstring_view name(entry.className);
        const bool label = name == L"STATIC" || name == PROGRESS_CLASSW;
        const DWORD style = WS_CHILD | WS_VISIBLE | (label ? 0 : WS_TABSTOP) | entry.extraStyle;
        CreateWindowExW(name == L"EDIT" || name == WC_LISTVIEWW ? WS_EX_CLIENTEDGE : 0, entry.className,
                        entry.text != nullptr ? entry.text : L"", style, Scaled(entry.x, dpi), Scaled(entry.y, dpi),
                        Scaled(entry.width, dpi), Scaled(entry.height, dpi), parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)), instance, nullptr);
    }
    LayoutControls(parent, table, dpi);
}

void ShowPage(HWND parent, const std::vector<ControlSpec>& table, int page) {
    HWND child = GetWindow(parent, GW_CHILD);
    for (const ControlSpec& entry : table) {
        HWND control = entry.id != 0 ? GetDlgItem(parent, entry.id) : child;
        if (child != nullptr) child = GetWindow(child, GW_HWNDNEXT);
        if (control != nullptr && entry.page >= 0) ShowWindow(control, entry.page == page ? SW_SHOWNA : SW_HIDE);
    }
}

void LayoutControls(HWND parent, const std::vector<ControlSpec>& table, UINT dpi, int scrollX, int scrollY) {
    // Controls without an id are found in creation order among the children.
    HWND child = GetWindow(parent, GW_CHILD);
    for (const ControlSpec& entry : table) {
        HWND control = entry.id != 0 ? GetDlgItem(parent, entry.id) : child;
        if (child != nullptr) child = GetWindow(child, GW_HWNDNEXT);
        if (control == nullptr) continue;
        MoveWindow(control, Scaled(entry.x, dpi) - scrollX, Scaled(entry.y, dpi) - scrollY, Scaled(entry.width, dpi),
                   Scaled(entry.height, dpi), TRUE);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(dpi)), TRUE);
    }
}

int MenuUnder(HWND owner, HWND button, std::initializer_list<std::pair<int, const wchar_t*>> items) {
    HMENU menu = CreatePopupMenu();
    for (const auto& [id, text] : items) AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(id), text);
    RECT below{};
    GetWindowRect(button, &below);
    const int choice = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, below.left, below.bottom, 0, owner, nullptr);
    DestroyMenu(menu);
    return choice;
}

std::wstring ChosenPath(IFileDialog* dialog, HWND owner) {
    if (FAILED(dialog->Show(owner))) return {};
    IShellItem* item = nullptr;
    if (FAILED(dialog->GetResult(&item))) return {};
    PWSTR path = nullptr;
    std::wstring file;
    if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path != nullptr) file = path;
    CoTaskMemFree(path);
    item->Release();
    return file;
}

std::wstring CurrentErrorText() {
    try {
        throw;
    } catch (const ExplainedError& e) {
        return e.reason() + L"\n" + FromUtf8(e.what());
    } catch (const Error& e) {
        return ErrorText(e.kind(), e.what());
    } catch (const std::exception& e) {
        return ErrorText(ErrorKind::Internal, e.what());
    } catch (...) {
        return ErrorText(ErrorKind::Internal, ErrorCodeText(ErrorCode::UnexpectedFailure));
    }
}

std::wstring FailureStatus(const CancelToken& cancel, const std::wstring& cancelled) {
    bool stopped = cancel.cancelled();
    try {
        throw;
    } catch (const Error& e) {
        stopped = stopped || e.kind() == ErrorKind::Cancelled;
    } catch (...) {
    }
    return stopped ? cancelled : L"Ошибка: " + CurrentErrorText();
}

void ShowCurrentError(HWND window) {
    MessageBoxW(window, CurrentErrorText().c_str(), L"Ошибка", MB_ICONERROR);
}

void RegisterProgramClass(const wchar_t* name, WNDPROC procedure) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(TESMORA_RESOURCE_ICON));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = name;
    RegisterClassW(&windowClass);
}

RECT WorkArea() {
    RECT area{0, 0, 1280, 900};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// The cancel token of the operation in progress. It outlives every window:
// the worker thread is detached and may still be finishing.
CancelToken& WorkerCancelToken() {
    static CancelToken token;
    return token;
}

bool StartWorker(std::function<void(const CancelToken&)> work) {
    if (!g_busy.tryStart()) return false;
    WorkerCancelToken().reset();
    try {
        std::thread([work = std::move(work)] {
            try {
                work(WorkerCancelToken());
            } catch (...) {
                // Every operation reports its own failures; nothing may end the process.
            }
            g_busy.finish();
        }).detach();
    } catch (...) {
        g_busy.finish();  // no worker: the windows must not stay busy
        throw;
    }
    return true;
}

bool WorkerBusy() { return g_busy.busy(); }

void CancelWorker() { WorkerCancelToken().cancel(); }

void RequireIdleWorker() { g_busy.requireIdle(); }

}  // namespace tesmora::ui
