// The help window: the user manual (RCDATA 102) in a read-only text box.
#include "os/text.h"
#include "os/os.h"
#include "resource_ids.h"
#include "ui/win/window_state.h"

#include <algorithm>
#include <string>

namespace tesmora::ui {
namespace {

constexpr int kTextId = 201;
HWND g_help = nullptr;

// The manual with every bare line feed preceded by a carriage return, as the
// edit control wants its line breaks.
std::wstring ManualText() {
    std::string bytes = os::LoadResourceBytes(TESMORA_RESOURCE_MANUAL);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    const std::wstring text = FromUtf8(bytes);
    std::wstring display;
    display.reserve(text.size() + text.size() / 40);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) display.push_back(L'\r');
        display.push_back(text[i]);
    }
    return display;
}

// The text box fills the window but for a margin, at the window's DPI.
void FitText(HWND window) {
    const UINT dpi = WindowDpi(window);
    RECT client{};
    GetClientRect(window, &client);
    MoveWindow(GetDlgItem(window, kTextId), Scaled(16, dpi), Scaled(14, dpi),
               std::max<int>(client.right - Scaled(32, dpi), Scaled(20, dpi)),
               std::max<int>(client.bottom - Scaled(28, dpi), Scaled(20, dpi)), TRUE);
}

LRESULT CALLBACK HelpProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            FitText(window);
            return 0;
        case 0x02E0: {  // WM_DPICHANGED: the font of the new DPI, the suggested size
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SendMessageW(GetDlgItem(window, kTextId), WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(HIWORD(wParam))),
                         TRUE);
            SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            g_help = nullptr;
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

HWND HelpWindow() { return g_help; }

void OpenHelp() {
    if (g_help != nullptr) {
        ShowWindow(g_help, SW_RESTORE);
        SetForegroundWindow(g_help);
        return;
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterProgramClass(L"TesmoraBackupHelp", HelpProcedure);

    const RECT area = WorkArea();
    const UINT dpi = WindowDpi(MainWindow());
    g_help = CreateWindowExW(0, L"TesmoraBackupHelp", L"Tesmora Backup \u2014 справочник пользователя",
                             WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                             std::min<int>(Scaled(900, dpi), area.right - area.left - 40),
                             std::min<int>(Scaled(790, dpi), area.bottom - area.top - 30), MainWindow(), nullptr,
                             instance, nullptr);
    if (g_help == nullptr) return;
    HWND text = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL |
                                    ES_READONLY,
                                16, 14, 820, 700, g_help, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextId)),
                                instance, nullptr);
    SendMessageW(text, EM_SETLIMITTEXT, 1000000, 0);
    SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(WindowDpi(g_help))), TRUE);
    SetWindowTextW(text, ManualText().c_str());
    FitText(g_help);
    ShowWindow(g_help, SW_SHOW);
    SetFocus(text);
}

}  // namespace tesmora::ui
