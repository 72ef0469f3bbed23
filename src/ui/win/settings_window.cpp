// The settings window: the fixed panel of controls, its commands, the single
// worker thread and the status line. Only this thread touches the controls
// and the in-memory settings; the worker reports by posting messages.
#include "ui/settings_window.h"

#include "app/operation_lock.h"
#include "config/credentials.h"
#include "config/layout.h"
#include "config/schedule_state.h"
#include "os/text.h"
#include "job/backup_job.h"
#include "os/error.h"
#include "os/os.h"
#include "remote/archive_stream.h"
#include "resource_ids.h"
#include "schedule/task_registration.h"
#include "ssh/ssh_connection.h"
#include "ui/form.h"
#include "ui/win/window_state.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace tesmora::ui {
namespace {

enum ControlId : int {
    kDriveList = 100, kHost = 101, kPort = 102, kUser = 103, kPassword = 104, kFingerprint = 105, kPaths = 106,
    kHours = 107, kKeep = 108, kAutomatic = 109, kStatus = 120, kRefresh = 130, kSave = 131, kCheck = 132,
    kBackupNow = 133, kFetchKey = 134, kCancel = 135, kOpenBackups = 136, kHelp = 137, kHint = 140, kSummary = 141,
};

constexpr UINT kStatusMessage = WM_APP + 1;
constexpr UINT kFingerprintMessage = WM_APP + 2;
constexpr int kPanelWidth = 980;
constexpr int kPanelHeight = 820;
constexpr int kLineStep = 30;

struct ControlSpec {
    const wchar_t* className;
    int id;
    int x, y, width, height;
    DWORD extraStyle;
    const wchar_t* text;  // fixed text; null where the settings fill it
};

// Creation order is the Tab order.
const ControlSpec kControls[] = {
    {L"STATIC", 0, 20, 14, 755, 27, 0, L"Резервная копия сайта с VDS на выбранный носитель"},
    {L"BUTTON", kHelp, 805, 10, 150, 34, BS_PUSHBUTTON, L"?  Справка"},
    {L"STATIC", 0, 20, 49, 930, 25, 0, L"Диск для резервных копий (смена буквы не сбрасывает привязку)"},
    {L"COMBOBOX", kDriveList, 20, 78, 790, 300, CBS_DROPDOWNLIST | WS_VSCROLL, L""},
    {L"BUTTON", kRefresh, 820, 76, 135, 30, BS_PUSHBUTTON, L"Обновить"},
    {L"STATIC", 0, 20, 120, 220, 24, 0, L"IP / домен"},
    {L"STATIC", 0, 355, 120, 100, 24, 0, L"Порт SSH"},
    {L"STATIC", 0, 485, 120, 180, 24, 0, L"Логин"},
    {L"STATIC", 0, 685, 120, 275, 24, 0, L"Пароль (пусто = сохранённый)"},
    {L"EDIT", kHost, 20, 148, 310, 30, ES_AUTOHSCROLL, nullptr},
    {L"EDIT", kPort, 355, 148, 105, 30, ES_NUMBER, nullptr},
    {L"EDIT", kUser, 485, 148, 175, 30, ES_AUTOHSCROLL, nullptr},
    {L"EDIT", kPassword, 685, 148, 270, 30, ES_PASSWORD | ES_AUTOHSCROLL, L""},
    {L"STATIC", 0, 20, 191, 910, 24, 0,
     L"Закреплённый ключ SSH (смена ключа останавливает автоматические подключения)"},
    {L"EDIT", kFingerprint, 20, 220, 735, 30, ES_AUTOHSCROLL, nullptr},
    {L"BUTTON", kFetchKey, 770, 219, 185, 31, BS_PUSHBUTTON, L"Получить ключ\u2026"},
    {L"STATIC", 0, 20, 268, 910, 24, 0, L"Каталоги / файлы на VDS — абсолютные пути, по одному в строке"},
    {L"EDIT", kPaths, 20, 300, 935, 200, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, nullptr},
    {L"STATIC", 0, 20, 514, 150, 25, 0, L"Интервал, часов"},
    {L"EDIT", kHours, 180, 510, 75, 30, ES_NUMBER, nullptr},
    {L"STATIC", 0, 300, 514, 230, 25, 0, L"Хранить копий (0 = все)"},
    {L"EDIT", kKeep, 535, 510, 75, 30, ES_NUMBER, nullptr},
    {L"BUTTON", kAutomatic, 640, 510, 315, 30, BS_AUTOCHECKBOX, L"Автозапуск и расписание"},
    {L"STATIC", kHint, 20, 553, 935, 65, 0,
     L"Папка копий: Backcup_Site_Tesmora на выбранном диске.\nОкно можно закрыть: включённое расписание работает "
     L"после входа в Windows. Справка: ? / F1."},
    {L"BUTTON", kSave, 20, 644, 240, 37, BS_PUSHBUTTON, L"Сохранить / автозапуск"},
    {L"BUTTON", kCheck, 275, 644, 190, 37, BS_PUSHBUTTON, L"Проверить SSH"},
    {L"BUTTON", kBackupNow, 480, 644, 245, 37, BS_PUSHBUTTON, L"Сделать копию сейчас"},
    {L"BUTTON", kCancel, 740, 644, 215, 37, BS_PUSHBUTTON, L"Отменить"},
    {L"BUTTON", kOpenBackups, 20, 696, 270, 34, BS_PUSHBUTTON, L"Открыть резервные копии"},
    {L"STATIC", kSummary, 315, 690, 640, 49, 0, nullptr},
    {L"EDIT", kStatus, 20, 744, 935, 55, ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
     L"Готово. Сохраните настройки для регистрации расписания на этом ПК."},
};

enum class WorkerMode { BackupNow = 0, CheckSsh = 1, FetchKey = 2 };

HFONT g_font = nullptr;
// Read by the worker thread when it posts; cleared when the loop ends.
std::atomic<HWND> g_main{nullptr};
BusyFlag g_busy;

// Posts a heap copy of the text; the window frees it. Dropped once the window is gone.
void PostText(UINT message, const std::wstring& text) {
    HWND window = g_main.load();
    if (window == nullptr) return;
    auto* copy = new std::wstring(text);
    if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
}

void PostStatus(const std::wstring& text) { PostText(kStatusMessage, text); }

void RunWorker(BackupSettings settings, WorkerMode mode) {
    try {
        switch (mode) {
            case WorkerMode::BackupNow:
                BackupJob::run(settings, true, PostStatus);
                break;
            case WorkerMode::CheckSsh: {
                SshConnection connection = SshConnection::connect(settings, true);
                PostStatus(L"Соединение и ключ сервера проверены.");
                break;
            }
            case WorkerMode::FetchKey: {
                SshConnection connection = SshConnection::connect(settings, false);
                PostText(kFingerprintMessage, HostKeyFingerprint(connection.session()));
                break;
            }
        }
    } catch (const std::exception& e) {
        PostStatus(L"Ошибка: " + FromUtf8(e.what()));
    } catch (...) {
        PostStatus(L"Ошибка: Unexpected failure");
    }
    g_busy.finish();
}

class SettingsWindow {
public:
    explicit SettingsWindow(BackupSettings& settings) : settings_(settings) {}

    void run();

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void createControls();
    void refreshDrives();
    void command(int id);
    std::wstring text(int id) const;
    void setText(int id, const std::wstring& value) { SetWindowTextW(GetDlgItem(window_, id), value.c_str()); }
    BackupSettings readForm() const;
    void saveAndApply();
    void startWorker(WorkerMode mode);
    void refreshSummary();
    void scroll(int bar, int request, int trackPosition);
    void setScrollPosition(int bar, int position);

    BackupSettings& settings_;
    std::vector<DriveInfo> drives_;
    HWND window_ = nullptr;
};

void SettingsWindow::run() {
    INITCOMMONCONTROLSEX common{sizeof(common), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&common);
    g_font = CreateFontW(-17, 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0,
                         L"Segoe UI");
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterProgramClass(L"TesmoraBackupSettings", Procedure);

    const RECT area = WorkArea();
    HWND window = CreateWindowExW(0, L"TesmoraBackupSettings", L"Tesmora — резервные копии сайта / настройки",
                                  WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_HSCROLL, CW_USEDEFAULT, CW_USEDEFAULT,
                                  std::min<int>(1010, area.right - area.left - 40),
                                  std::min<int>(875, area.bottom - area.top - 30), nullptr, nullptr, instance, this);
    if (window == nullptr) {
        DeleteObject(g_font);
        g_font = nullptr;
        throw Error("Cannot create the settings window");
    }
    g_main.store(window);
    createControls();
    refreshDrives();
    ShowWindow(window, SW_SHOW);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN && message.wParam == VK_F1) {
            OpenHelp();
            continue;
        }
        if (HelpWindow() != nullptr && IsDialogMessageW(HelpWindow(), &message)) continue;
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DeleteObject(g_font);
    g_font = nullptr;
    g_main.store(nullptr);
}

LRESULT CALLBACK SettingsWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<SettingsWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<SettingsWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    try {
        return self->handle(message, wParam, lParam);
    } catch (const std::exception& e) {
        MessageBoxW(window, FromUtf8(e.what()).c_str(), L"Ошибка", MB_ICONERROR);
    } catch (...) {
        MessageBoxW(window, L"Unexpected failure", L"Ошибка", MB_ICONERROR);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT SettingsWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            command(LOWORD(wParam));
            return 0;
        case WM_SIZE: {
            const int width = LOWORD(lParam), height = HIWORD(lParam);
            for (const auto& [bar, maximum, page] : {std::tuple{SB_VERT, kPanelHeight, height},
                                                     std::tuple{SB_HORZ, kPanelWidth, width}}) {
                const int before = GetScrollPos(window_, bar);
                SCROLLINFO info{sizeof(info), SIF_RANGE | SIF_PAGE, 0, maximum, static_cast<UINT>(page), 0, 0};
                SetScrollInfo(window_, bar, &info, TRUE);
                const int after = GetScrollPos(window_, bar);
                if (after != before) {
                    ScrollWindowEx(window_, bar == SB_HORZ ? before - after : 0, bar == SB_VERT ? before - after : 0,
                                   nullptr, nullptr, nullptr, nullptr, SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
                }
            }
            return 0;
        }
        case WM_VSCROLL:
        case WM_HSCROLL: {
            SCROLLINFO info{sizeof(info), SIF_TRACKPOS, 0, 0, 0, 0, 0};
            const int bar = message == WM_VSCROLL ? SB_VERT : SB_HORZ;
            GetScrollInfo(window_, bar, &info);
            scroll(bar, LOWORD(wParam), info.nTrackPos);
            return 0;
        }
        case WM_MOUSEWHEEL: {
            const int request = GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? SB_LINEUP : SB_LINEDOWN;
            for (int i = 0; i < 3; ++i) scroll(SB_VERT, request, 0);
            return 0;
        }
        case kStatusMessage: {
            std::unique_ptr<std::wstring> status(reinterpret_cast<std::wstring*>(lParam));
            setText(kStatus, *status);
            refreshSummary();
            return 0;
        }
        case kFingerprintMessage: {
            std::unique_ptr<std::wstring> fingerprint(reinterpret_cast<std::wstring*>(lParam));
            const std::wstring question =
                L"Сверьте этот отпечаток с VDS/доверенным источником. Сохранить ключ?\n\n" + *fingerprint;
            if (MessageBoxW(window_, question.c_str(), L"Ключ SSH", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
                IDYES) {
                setText(kFingerprint, *fingerprint);
            }
            return 0;
        }
        case WM_CTLCOLORSTATIC: {
            // Labels and the check box sit on the window's own background; the
            // read-only status box keeps the look of a field.
            wchar_t className[16] = {};
            GetClassNameW(reinterpret_cast<HWND>(lParam), className, 16);
            if (lstrcmpiW(className, L"Edit") == 0) return DefWindowProcW(window_, message, wParam, lParam);
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        case WM_HELP:
            OpenHelp();
            return TRUE;
        case WM_CLOSE:
            if (g_busy.busy()) {
                MessageBoxW(window_, L"Сейчас выполняется операция. Дождитесь завершения или нажмите «Отменить».",
                            L"Резервная копия", MB_OK);
                return 0;
            }
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void SettingsWindow::scroll(int bar, int request, int trackPosition) {
    SCROLLINFO info{sizeof(info), SIF_POS | SIF_PAGE, 0, 0, 0, 0, 0};
    GetScrollInfo(window_, bar, &info);
    int position = info.nPos;
    switch (request) {
        case SB_LINEUP: position -= kLineStep; break;
        case SB_LINEDOWN: position += kLineStep; break;
        case SB_PAGEUP: position -= static_cast<int>(info.nPage); break;
        case SB_PAGEDOWN: position += static_cast<int>(info.nPage); break;
        case SB_THUMBTRACK: position = trackPosition; break;
        default: return;
    }
    setScrollPosition(bar, position);
}

void SettingsWindow::setScrollPosition(int bar, int position) {
    const int before = GetScrollPos(window_, bar);
    SetScrollPos(window_, bar, position, TRUE);
    const int after = GetScrollPos(window_, bar);  // the system clamps it
    if (after == before) return;
    ScrollWindowEx(window_, bar == SB_HORZ ? before - after : 0, bar == SB_VERT ? before - after : 0, nullptr, nullptr,
                   nullptr, nullptr, SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
}

void SettingsWindow::createControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const ControlSpec& entry : kControls) {
        const bool isStatic = std::wstring_view(entry.className) == L"STATIC";
        const bool isEdit = std::wstring_view(entry.className) == L"EDIT";
        const DWORD style = WS_CHILD | WS_VISIBLE | (isStatic ? 0 : WS_TABSTOP) | entry.extraStyle;
        HWND control = CreateWindowExW(isEdit ? WS_EX_CLIENTEDGE : 0, entry.className, entry.text ? entry.text : L"",
                                       style, entry.x, entry.y, entry.width, entry.height, window_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)), instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), TRUE);
    }
    setText(kHost, settings_.host);
    setText(kPort, std::to_wstring(settings_.port));
    setText(kUser, settings_.user);
    setText(kFingerprint, settings_.fingerprint);
    setText(kPaths, PathsBoxText(settings_.paths));
    setText(kHours, std::to_wstring(settings_.hours));
    setText(kKeep, std::to_wstring(settings_.keep));
    SendMessageW(GetDlgItem(window_, kAutomatic), BM_SETCHECK, settings_.automatic ? BST_CHECKED : BST_UNCHECKED, 0);
    refreshSummary();
}

void SettingsWindow::refreshDrives() {
    drives_ = EnumerateDrives();
    HWND list = GetDlgItem(window_, kDriveList);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const DriveInfo& drive : drives_) {
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(DriveLineText(drive).c_str()));
    }
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(PreselectedDrive(drives_, settings_.device)), 0);
}

void SettingsWindow::refreshSummary() {
    const std::wstring file =
        os::JoinPath(os::JoinPath(settings_.drive_root, layout::kBackupFolder), layout::kScheduleFile);
    const std::uint64_t lastSuccess = settings_.drive_root.empty() ? 0 : ReadScheduleState(file).last_success;
    setText(kSummary, ScheduleSummaryText(lastSuccess, settings_.hours));
}

std::wstring SettingsWindow::text(int id) const {
    HWND control = GetDlgItem(window_, id);
    std::wstring value(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    value.resize(static_cast<size_t>(GetWindowTextW(control, value.data(), static_cast<int>(value.size()))));
    return value;
}

BackupSettings SettingsWindow::readForm() const {
    FormFields form;
    form.selection = static_cast<int>(SendMessageW(GetDlgItem(window_, kDriveList), CB_GETCURSEL, 0, 0));
    form.host = text(kHost);
    form.port = text(kPort);
    form.user = text(kUser);
    form.fingerprint = text(kFingerprint);
    form.paths = text(kPaths);
    form.hours = text(kHours);
    form.keep = text(kKeep);
    form.automatic = SendMessageW(GetDlgItem(window_, kAutomatic), BM_GETCHECK, 0, 0) == BST_CHECKED;
    return ReadForm(settings_, drives_, form);
}

void SettingsWindow::saveAndApply() {
    g_busy.requireIdle();
    const BackupSettings s = readForm();
    // The checks every backup run makes again, so a list of paths too long
    // for the server's command is refused now rather than at 03:00.
    ValidateBackupSettings(s);
    app::OperationLock lock = app::AcquireOperationLock(s.id);
    std::wstring password = text(kPassword);
    if (password.empty()) {
        std::wstring stored = ReadStoredPassword(s);  // only its existence matters
        WipeString(stored);
    }
    try {
        SaveSettings(s);
        StorePassword(s, password);
    } catch (...) {
        WipeString(password);
        throw;
    }
    setText(kPassword, L"");
    settings_ = s;
    RegisterTask(s.automatic);
    setText(kStatus, std::wstring(L"Настройки сохранены. Пароль защищён Windows. Автозапуск ") +
                         (s.automatic ? L"включён." : L"выключен."));
}

void SettingsWindow::startWorker(WorkerMode mode) {
    if (!g_busy.tryStart()) return;
    ProcessCancelFlag().store(false);
    try {
        std::thread(RunWorker, settings_, mode).detach();
    } catch (...) {
        g_busy.finish();  // no worker: the window must not stay busy
        throw;
    }
}

void SettingsWindow::command(int id) {
    switch (id) {
        case kRefresh:
            refreshDrives();
            break;
        case kSave:
            saveAndApply();
            break;
        case kCheck:
            saveAndApply();
            startWorker(WorkerMode::CheckSsh);
            break;
        case kBackupNow:
            saveAndApply();
            startWorker(WorkerMode::BackupNow);
            break;
        case kFetchKey:
            settings_ = readForm();
            startWorker(WorkerMode::FetchKey);
            break;
        case kCancel:
            ProcessCancelFlag().store(true);
            InterruptActiveConnection();
            break;
        case kOpenBackups: {
            const std::wstring folder = os::JoinPath(settings_.drive_root, layout::kBackupFolder);
            ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            break;
        }
        case kHelp:
            OpenHelp();
            break;
        default:
            break;
    }
}

}  // namespace

HFONT UiFont() { return g_font; }

HWND MainWindow() { return g_main.load(); }

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

void RunSettingsWindow(BackupSettings& settings) {
    SettingsWindow window(settings);
    window.run();
}

}  // namespace tesmora::ui
