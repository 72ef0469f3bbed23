// Works the settings window of a running TesmoraBackup.exe from outside, one
// command per run, so that the end-to-end tests can drive the real window
// under Wine; and plays the taskbar for the tests of notices (`tray`).
// Results go to standard output as UTF-8; exit code 0 = done, 1 = not found /
// timed out / refused, 2 = bad usage.
//
//   ui_driver [--class NAME | --dialog CAPTION] COMMAND ARGS...
//
// --dialog works the program's modal dialog of that caption (waited for up
// to ten seconds) in place of the settings window.
//
// Text arguments and printed texts use escapes \r \n \t \\ (and \xHH for
// other control characters), so one line always holds one value.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring g_class = L"TesmoraBackupSettings";
std::wstring g_dialog;  // the caption of a dialog to work instead
constexpr UINT kSendTimeoutMs = 5000;

// ---- output -------------------------------------------------------------------

// One line as UTF-8; WriteFile, not stdio: no CR LF translation and no
// code-page conversion.
void write_line(HANDLE file, const std::wstring& line) {
    const std::wstring text = line + L"\n";
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void out(const std::wstring& line) { write_line(GetStdHandle(STD_OUTPUT_HANDLE), line); }
void err(const std::wstring& line) { write_line(GetStdHandle(STD_ERROR_HANDLE), line); }

std::wstring escape(const std::wstring& s) {
    std::wstring r;
    for (wchar_t c : s) {
        switch (c) {
            case L'\r': r += L"\\r"; break;
            case L'\n': r += L"\\n"; break;
            case L'\t': r += L"\\t"; break;
            case L'\\': r += L"\\\\"; break;
            default:
                if (c < 0x20) {
                    wchar_t buf[8];
                    swprintf(buf, 8, L"\\x%02X", static_cast<unsigned>(c));
                    r += buf;
                } else {
                    r += c;
                }
        }
    }
    return r;
}

std::wstring unescape(const std::wstring& s) {
    std::wstring r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != L'\\' || i + 1 == s.size()) {
            r += s[i];
            continue;
        }
        wchar_t c = s[++i];
        if (c == L'r') r += L'\r';
        else if (c == L'n') r += L'\n';
        else if (c == L't') r += L'\t';
        else if (c == L'x' && i + 2 < s.size()) {
            r += static_cast<wchar_t>(wcstoul(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else r += c;
    }
    return r;
}

std::wstring hex(unsigned long v) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08lX", v);
    return buf;
}

// ---- windows ------------------------------------------------------------------

std::wstring class_of(HWND h) {
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

// WM_GETTEXT with a bound: a hung window must fail the command, not the test run.
// A text that grew between the two messages filled the buffer: read it again.
bool get_text(HWND h, std::wstring& text) {
    for (;;) {
        DWORD_PTR len = 0;
        if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) return false;
        std::vector<wchar_t> buf(len + 2, L'\0');
        DWORD_PTR got = 0;
        if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &got))
            return false;
        text.assign(buf.data(), got);
        if (got + 1 < buf.size()) return true;
    }
}

bool send(HWND h, UINT msg, WPARAM w, LPARAM l, DWORD_PTR* result = nullptr) {
    DWORD_PTR r = 0;
    bool ok = SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r) != 0;
    if (result) *result = r;
    return ok;
}

HWND find_main(double seconds, bool shown = false) {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (;;) {
        // A window is found from its first message on; it is shown once its
        // controls are all there.
        HWND h = FindWindowW(g_class.c_str(), nullptr);
        if (h && (!shown || IsWindowVisible(h))) return h;
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return nullptr;
        Sleep(50);
    }
}

HWND main_or_fail() {
    HWND h = find_main(10);
    if (!h) err(L"no window of class " + g_class);
    return h;
}

// ID is a control id, or @N for the N-th child in Z order (for controls
// without an id).
HWND control(HWND main, const std::wstring& id) {
    HWND h = nullptr;
    if (!id.empty() && id[0] == L'@') {
        long n = wcstol(id.c_str() + 1, nullptr, 10);
        for (h = GetWindow(main, GW_CHILD); h && n > 0; --n) h = GetWindow(h, GW_HWNDNEXT);
    } else {
        h = GetDlgItem(main, static_cast<int>(wcstol(id.c_str(), nullptr, 10)));
    }
    if (!h) err(L"no control " + id);
    return h;
}


struct TopLevelQuery {
    DWORD pid;  // 0 = any process
    std::wstring cls;
    const std::wstring* caption;  // null = any caption
    std::vector<HWND> found;
};

BOOL CALLBACK collect_top_level(HWND h, LPARAM param) {
    auto* q = reinterpret_cast<TopLevelQuery*>(param);
    if (lstrcmpiW(class_of(h).c_str(), q->cls.c_str()) != 0) return TRUE;
    if (!IsWindowVisible(h)) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (q->pid && pid != q->pid) return TRUE;
    if (q->caption) {
        std::wstring title;
        if (!get_text(h, title) || title != *q->caption) return TRUE;
    }
    q->found.push_back(h);
    return TRUE;
}

DWORD program_pid() {
    HWND main = FindWindowW(g_class.c_str(), nullptr);
    DWORD pid = 0;
    if (main) GetWindowThreadProcessId(main, &pid);
    return pid;
}

std::vector<HWND> top_level(const std::wstring& cls, const std::wstring* caption, DWORD pid) {
    TopLevelQuery q{pid, cls, caption, {}};
    EnumWindows(collect_top_level, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

// A message box of the program's process (any process while no main window
// exists: a start-up error box has no owner).
HWND find_message_box(const std::wstring& caption, double seconds) {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (;;) {
        auto found = top_level(L"#32770", &caption, program_pid());
        if (!found.empty()) return found.front();
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return nullptr;
        Sleep(30);
    }
}

RECT rect_in_parent(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::wstring rect_text(const RECT& r) {
    return std::to_wstring(r.left) + L"\t" + std::to_wstring(r.top) + L"\t" + std::to_wstring(r.right - r.left) +
           L"\t" + std::to_wstring(r.bottom - r.top);
}

// The control that has the keyboard focus in the program's GUI thread.
HWND focused(HWND main) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info) && info.hwndFocus) return info.hwndFocus;
    return nullptr;
}

// ---- commands -----------------------------------------------------------------

int arg_int(const std::vector<std::wstring>& a, size_t i, int fallback) {
    return i < a.size() ? static_cast<int>(wcstol(a[i].c_str(), nullptr, 10)) : fallback;
}

double arg_seconds(const std::vector<std::wstring>& a, size_t i, double fallback) {
    return i < a.size() ? wcstod(a[i].c_str(), nullptr) : fallback;
}

int cmd_wait_window(const std::vector<std::wstring>& a) {
    HWND h = find_main(arg_seconds(a, 0, 10), true);
    if (!h) {
        err(L"no shown window of class " + g_class);
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    out(L"pid\t" + std::to_wstring(pid));
    return 0;
}

int cmd_controls(HWND main) {
    for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::wstring text;
        get_text(c, text);
        out(std::to_wstring(GetDlgCtrlID(c)) + L"\t" + class_of(c) + L"\t" + rect_text(rect_in_parent(c)) + L"\t" +
            hex(static_cast<unsigned long>(GetWindowLongW(c, GWL_STYLE))) + L"\t" +
            hex(static_cast<unsigned long>(GetWindowLongW(c, GWL_EXSTYLE))) + L"\t" + escape(text));
    }
    return 0;
}

int cmd_window_rect(HWND main) {
    RECT w{};
    GetWindowRect(main, &w);
    out(rect_text(w));
    return 0;
}

int cmd_get_text(HWND main, const std::vector<std::wstring>& a) {
    HWND c = a.empty() ? main : control(main, a.size() > 0 ? a[0] : L"");
    std::wstring text;
    if (!c || !get_text(c, text)) return 1;
    out(escape(text));
    return 0;
}

int cmd_set_text(HWND main, const std::vector<std::wstring>& a) {
    if (a.size() < 2) return 2;
    HWND c = control(main, a.size() > 0 ? a[0] : L"");
    std::wstring text = unescape(a[1]);
    DWORD_PTR ok = 0;
    if (!c || !send(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &ok) || !ok) return 1;
    return 0;
}

// Each distinct value of the control until one contains UNTIL: the status
// line moves through progress texts that a single read would miss.
int cmd_wait_text(HWND main, const std::vector<std::wstring>& a) {
    if (a.size() < 2) return 2;
    HWND c = control(main, a.size() > 0 ? a[0] : L"");
    if (!c) return 1;
    std::wstring until = unescape(a[1]);
    DWORD deadline = GetTickCount() + static_cast<DWORD>(arg_seconds(a, 2, 10) * 1000);
    for (;;) {
        std::wstring text;
        if (!get_text(c, text)) {
            err(L"the window does not answer");
            return 1;
        }
        if (text.find(until) != std::wstring::npos) {
            out(escape(text));
            // wait-text ID TEXT SECONDS CLICK_ID: clicks the moment the text shows.
            if (a.size() > 3) return PostMessageW(control(main, a[3]), BM_CLICK, 0, 0) ? 0 : 1;
            return 0;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            out(escape(text));
            err(L"timed out; the text is: " + escape(text));
            return 1;
        }
        Sleep(10);
    }
}

int cmd_click(HWND main, const std::vector<std::wstring>& a) {
    HWND c = control(main, a.size() > 0 ? a[0] : L"");
    // Posted: a command that opens a modal box would block a sent click.
    if (!c || !PostMessageW(c, BM_CLICK, 0, 0)) return 1;
    return 0;
}

int cmd_list(HWND main, const std::vector<std::wstring>& a) {
    HWND list = control(main, a.empty() ? L"" : a[0]);
    if (!list) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return 1;
    constexpr SIZE_T kTextOffset = 256, kTextChars = 1024;
    char* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    int status = remote ? 0 : 1;
    DWORD_PTR r = 0;
    if (remote && send(list, LVM_GETITEMCOUNT, 0, 0, &r)) {
        const int rows = static_cast<int>(r);
        for (int row = 0; row < rows; ++row) {
            std::wstring line;
            for (int cell = 0; cell < 4; ++cell) {
                LVITEMW item{};
                item.iSubItem = cell;
                item.cchTextMax = kTextChars;
                item.pszText = reinterpret_cast<wchar_t*>(remote + kTextOffset);
                std::vector<wchar_t> text(kTextChars + 1, L'\0');
                WriteProcessMemory(process, remote, &item, sizeof(item), nullptr);
                send(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote), &r);
                ReadProcessMemory(process, remote + kTextOffset, text.data(), kTextChars * sizeof(wchar_t), nullptr);
                line += (cell ? L"\t" : L"") + escape(text.data());
            }
            out(line);
        }
    } else {
        status = 1;
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return status;
}

// progress ID: the bar's position, and "moving" while it only moves.
int cmd_progress(HWND main, const std::vector<std::wstring>& a) {
    HWND bar = control(main, a.empty() ? L"" : a[0]);
    DWORD_PTR position = 0;
    if (!bar || !send(bar, PBM_GETPOS, 0, 0, &position)) return 1;
    const bool moving = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
    out(std::to_wstring(static_cast<long>(position)) + (moving ? L"\tmoving" : L""));
    return 0;
}

BOOL CALLBACK first_edit(HWND h, LPARAM param) {
    if (lstrcmpiW(class_of(h).c_str(), L"Edit") != 0 || !IsWindowVisible(h)) return TRUE;
    *reinterpret_cast<HWND*>(param) = h;
    return FALSE;
}

// folder-dialog CAPTION PATH [SECONDS]: types the path into the program's
// folder picker and presses its OK button.
int cmd_folder_dialog(const std::vector<std::wstring>& a) {
    if (a.size() < 2) return 2;
    HWND dialog = find_message_box(a[0], arg_seconds(a, 2, 10));
    HWND edit = nullptr;
    if (dialog) EnumChildWindows(dialog, first_edit, reinterpret_cast<LPARAM>(&edit));
    HWND ok = dialog ? GetDlgItem(dialog, IDOK) : nullptr;
    if (!edit || !ok) {
        err(L"no folder picker " + a[0]);
        return 1;
    }
    const std::wstring path = unescape(a[1]);
    if (!send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()))) return 1;
    return PostMessageW(ok, BM_CLICK, 0, 0) ? 0 : 1;
}

int print_message_box(HWND box, HWND main) {
    std::wstring text;
    std::vector<std::wstring> buttons;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        std::wstring t;
        get_text(c, t);
        std::wstring cls = class_of(c);
        if (lstrcmpiW(cls.c_str(), L"Static") == 0 && GetDlgCtrlID(c) == 0xFFFF) text = t;
        else if (lstrcmpiW(cls.c_str(), L"Button") == 0)
            buttons.push_back(L"button\t" + std::to_wstring(GetDlgCtrlID(c)) + L"\t" + escape(t));
    }
    out(escape(text));
    HWND owner = GetWindow(box, GW_OWNER);
    out(std::wstring(L"owner\t") + (owner == nullptr ? L"none" : owner == main ? L"main" : L"other"));
    for (auto& b : buttons) out(b);
    return 0;
}

int cmd_message_box(const std::vector<std::wstring>& a) {
    if (a.empty()) return 2;
    HWND box = find_message_box(a[0], arg_seconds(a, 1, 10));
    if (!box) {
        err(L"no message box with caption " + a[0]);
        return 1;
    }
    return print_message_box(box, FindWindowW(g_class.c_str(), nullptr));
}

int cmd_answer(const std::vector<std::wstring>& a) {
    if (a.size() < 2) return 2;
    int id = a[1] == L"yes" ? IDYES : a[1] == L"no" ? IDNO : a[1] == L"ok" ? IDOK : a[1] == L"cancel" ? IDCANCEL : 0;
    if (!id) return 2;
    double seconds = arg_seconds(a, 2, 10);
    HWND box = find_message_box(a[0], seconds);
    if (!box) {
        err(L"no message box with caption " + a[0]);
        return 1;
    }
    HWND button = GetDlgItem(box, id);
    if (!button) {
        err(L"the message box has no button " + a[1]);
        return 1;
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    // Done only when the box is gone, so the next command sees its effect.
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    while (IsWindow(box)) {
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            err(L"the message box stayed open");
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

int cmd_key(HWND main, UINT vk, const std::vector<std::wstring>& a) {
    HWND target = a.empty() ? focused(main) : control(main, a.size() > 0 ? a[0] : L"");
    if (!target) target = main;
    LPARAM down = 1 | (static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16);
    if (!PostMessageW(target, WM_KEYDOWN, vk, down)) return 1;
    PostMessageW(target, WM_KEYUP, vk, down | (1u << 30) | (1u << 31));
    return 0;
}

// Scroll requests as the scroll bars and the wheel send them.
int cmd_wheel(HWND main, const std::vector<std::wstring>& a) {
    RECT r{};
    GetWindowRect(main, &r);
    short delta = static_cast<short>(arg_int(a, 0, -120));
    if (!PostMessageW(main, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(delta)), MAKELPARAM(r.left + 50, r.top + 50)))
        return 1;
    return 0;
}

int cmd_focus(HWND main) {
    HWND f = focused(main);
    if (!f) return 1;
    out(std::to_wstring(GetDlgCtrlID(f)) + L"\t" + class_of(f));
    return 0;
}

int cmd_help_windows(HWND main) {
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    auto found = top_level(L"TesmoraBackupHelp", nullptr, pid);
    out(std::to_wstring(found.size()));
    for (HWND h : found) {
        std::wstring title;
        get_text(h, title);
        RECT r{};
        GetWindowRect(h, &r);
        HWND owner = GetWindow(h, GW_OWNER);
        out(L"help\t" + rect_text(r) + L"\t" + (owner == main ? L"main" : owner ? L"other" : L"none") + L"\t" +
            escape(title));
    }
    return 0;
}

// hold-open FILE SECONDS: opens FILE for reading without delete sharing, as
// another program that holds it does, prints "held" and ends after SECONDS
// (or when killed). A delete of the file fails meanwhile.
int cmd_hold_open(const std::vector<std::wstring>& a) {
    if (a.empty()) return 2;
    HANDLE file = CreateFileW(a[0].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        err(L"cannot open " + a[0] + L": error " + std::to_wstring(GetLastError()));
        return 1;
    }
    out(L"held");
    Sleep(static_cast<DWORD>(arg_seconds(a, 1, 60) * 1000));
    CloseHandle(file);
    return 0;
}

// ---- the taskbar ------------------------------------------------------------------
// What Wine 8's shell32 sends the "Shell_TrayWnd" window with WM_COPYDATA
// (dwData is the NIM_ message); the icon's bits follow when NIF_ICON is set.
// Windows' own Explorer takes another form: this serves Wine only.
struct WineNotifyData {
    LONG hWnd;
    UINT uID, uFlags, uCallbackMessage;
    WCHAR szTip[128];
    DWORD dwState, dwStateMask;
    WCHAR szInfo[256];
    UINT uTimeout;
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    UINT width, height, planes, bpp;
};
static_assert(sizeof(WineNotifyData) == 960, "the layout of Wine 8");

constexpr UINT_PTR kLookForWindow = 1, kLifetime = 2;
HANDLE g_trayLog = INVALID_HANDLE_VALUE;
bool g_clickBalloons = false;
ULONGLONG g_lookUntil = 0;

template <std::size_t N>
std::wstring field(const WCHAR (&text)[N]) { return escape(std::wstring(text, wcsnlen(text, N))); }

// The path of the program behind a visible settings window, once one opens.
bool close_opened_window() {
    for (HWND window : top_level(L"TesmoraBackupSettings", nullptr, 0)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        wchar_t path[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        const bool named = process != nullptr && QueryFullProcessImageNameW(process, 0, path, &size);
        if (process != nullptr) CloseHandle(process);
        if (!named) continue;
        write_line(g_trayLog, L"OPENED\t" + std::wstring(path, size));
        PostMessageW(window, WM_CLOSE, 0, 0);
        return true;
    }
    return false;
}

LRESULT CALLBACK tray_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (copy->cbData < sizeof(WineNotifyData)) return FALSE;
        const auto& data = *static_cast<const WineNotifyData*>(copy->lpData);
        const wchar_t* names[] = {L"ADD", L"MODIFY", L"DELETE"};
        write_line(g_trayLog, std::wstring(copy->dwData < 3 ? names[copy->dwData] : L"OTHER") + L"\t" +
                                  hex(data.uFlags) + L"\t" + field(data.szInfoTitle) + L"\t" + field(data.szInfo));
        // Answered as the shell answers a balloon: shown, then timed out or clicked.
        if ((data.uFlags & NIF_INFO) && (copy->dwData == NIM_ADD || copy->dwData == NIM_MODIFY)) {
            const HWND owner = reinterpret_cast<HWND>(static_cast<LONG_PTR>(data.hWnd));
            PostMessageW(owner, data.uCallbackMessage, data.uID, NIN_BALLOONSHOW);
            PostMessageW(owner, data.uCallbackMessage, data.uID,
                         g_clickBalloons ? NIN_BALLOONUSERCLICK : NIN_BALLOONTIMEOUT);
            if (g_clickBalloons) {
                g_lookUntil = GetTickCount64() + 30000;
                SetTimer(window, kLookForWindow, 100, nullptr);
            }
        }
        return TRUE;
    }
    if (message == WM_TIMER && wParam == kLookForWindow) {
        const bool found = close_opened_window();
        if (found || GetTickCount64() >= g_lookUntil) {
            if (!found) write_line(g_trayLog, L"NO WINDOW");
            KillTimer(window, kLookForWindow);
        }
        return 0;
    }
    if (message == WM_TIMER && wParam == kLifetime) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// tray LOG_FILE [--click]: owns the window of class "Shell_TrayWnd", where
// Wine's Shell_NotifyIconW sends each icon message, and appends a line per
// message to LOG_FILE: ADD|MODIFY|DELETE, the flags, the balloon's title and
// text. With --click it clicks each balloon, waits for the settings window
// that opens, logs OPENED and that program's path, and closes it. The first
// line, READY, says the window exists; it ends itself after two minutes.
int cmd_tray(const std::vector<std::wstring>& a) {
    if (a.empty()) return 2;
    g_trayLog = CreateFileW(a[0].c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    g_clickBalloons = a.size() > 1 && a[1] == L"--click";
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = tray_proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Shell_TrayWnd";
    if (g_trayLog == INVALID_HANDLE_VALUE || !RegisterClassW(&windowClass)) return 1;
    // Shell_NotifyIconW looks among top-level windows, so not a message-only one.
    HWND tray = CreateWindowExW(0, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    if (tray == nullptr) return 1;
    SetTimer(tray, kLifetime, 120000, nullptr);
    write_line(g_trayLog, L"READY");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    DestroyWindow(tray);
    CloseHandle(g_trayLog);
    return 0;
}

void usage() {
    err(L"usage: ui_driver [--class NAME] COMMAND ARGS...; COMMAND is one of wait-window controls window-rect\n"
        L"get-text set-text wait-text click close key-f1 key-tab key-return key-right key-left focus wheel help-windows list-rows\n"
        L"progress message-box answer folder-dialog hold-open tray (see the comments of the cmd_ functions).");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == L"--class") {
        g_class = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else if (args.size() >= 2 && args[0] == L"--dialog") {
        g_dialog = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        usage();
        return 2;
    }
    std::wstring name = args[0];
    std::vector<std::wstring> a(args.begin() + 1, args.end());

    // Commands that do not need the main window.
    if (name == L"wait-window") return cmd_wait_window(a);
    if (name == L"message-box") return cmd_message_box(a);
    if (name == L"answer") return cmd_answer(a);
    if (name == L"folder-dialog") return cmd_folder_dialog(a);
    if (name == L"tray") return cmd_tray(a);
    if (name == L"hold-open") return cmd_hold_open(a);

    HWND main = g_dialog.empty() ? main_or_fail() : find_message_box(g_dialog, 10);
    if (!main) {
        if (!g_dialog.empty()) err(L"no dialog " + g_dialog);
        return 1;
    }
    if (name == L"controls") return cmd_controls(main);
    if (name == L"window-rect") return cmd_window_rect(main);
    if (name == L"get-text") return cmd_get_text(main, a);
    if (name == L"set-text") return cmd_set_text(main, a);
    if (name == L"wait-text") return cmd_wait_text(main, a);
    if (name == L"click") return cmd_click(main, a);
    if (name == L"close") return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    if (name == L"key-f1") return cmd_key(main, VK_F1, a);
    if (name == L"key-tab") return cmd_key(main, VK_TAB, a);
    if (name == L"key-return") return cmd_key(main, VK_RETURN, a);
    if (name == L"key-right") return cmd_key(main, VK_RIGHT, a);
    if (name == L"key-left") return cmd_key(main, VK_LEFT, a);
    if (name == L"focus") return cmd_focus(main);
    if (name == L"wheel") return cmd_wheel(main, a);
    if (name == L"help-windows") return cmd_help_windows(main);
    if (name == L"list-rows") return cmd_list(main, a);
    if (name == L"progress") return cmd_progress(main, a);
    usage();
    return 2;
}
