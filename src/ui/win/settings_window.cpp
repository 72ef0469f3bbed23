// The settings window: the panel of controls, its commands, the worker it
// starts and the status line. Only this thread touches the controls and the
// in-memory settings; the worker reports by posting messages. The layout is
// the 96-DPI one, scaled to the monitor's DPI and laid out again when it
// changes.
#include "ui/settings_window.h"

#include "config/local_data.h"
#include "config/operation_lock.h"
#include "config/backup_log.h"
#include "config/credentials.h"
#include "config/layout.h"
#include "config/schedule_state.h"
#include "config/time_stamp.h"
#include "repository/retention.h"
#include "repository/retention_plan.h"
#include "encryption/snapshot_keys.h"
#include "job/backup_job.h"
#include "job/server_program.h"
#include "job/stored_login.h"
#include "job/ssh_key_setup.h"
#include "notices/notices.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "remote/archive_stream.h"
#include "schedule/task_registration.h"
#include "ssh/ssh_connection.h"
#include "ui/form.h"
#include "ui/window_texts.h"
#include "ui/win/window_state.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

namespace tesmora::ui {
namespace {

enum ControlId : int {
    kDriveList = 100, kHost = 101, kPort = 102, kUser = 103, kPassword = 104, kFingerprint = 105, kPaths = 106,
    kHours = 107, kKeep = 108, kAutomatic = 109, kStatus = 120, kRefresh = 130, kSave = 131, kCheck = 132,
    kBackupNow = 133, kFetchKey = 134, kCancel = 135, kOpenBackups = 136, kHelp = 137, kSnapshots = 138,
    kHint = 140, kSummary = 141, kProgress = 142, kProgressCaption = 143, kSshKey = 144, kDatabases = 145,
    kDetectDatabases = 146, kEncrypt = 147, kEncryptionKey = 148, kEncryptionState = 149, kTabs = 150,
    kKeepDaily = 151, kKeepWeekly = 152, kKeepMonthly = 153, kKeepYearly = 154, kHistory = 155,
};

// The items of the «Ключ SSH…» and «Ключ шифрования…» menus.
enum MenuId : int { kInstallKeyItem = 1, kImportKeyItem = 2, kNewPassphraseItem = 3, kNewEncryptionKeyItem = 4 };

constexpr int kPanelWidth = 980;
constexpr int kPanelHeight = 612;
constexpr int kLineStep = 30;
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED

// The tabs, in order; a control's page is its index here.
constexpr const wchar_t* kPages[] = {L"Подключение", L"Файлы и базы", L"Расписание и история", L"Шифрование"};
enum Page : int { kConnection = 0, kFiles = 1, kSchedule = 2, kEncryption = 3 };

// Creation order is the Tab order. The panel fits 1280 x 720 (1920 x 1080
// at 150 %) without scrolling: the settings are on tabs above the buttons
// and the status, which every tab shares.
const std::vector<ControlSpec> kControls = {
    {L"STATIC", 0, 20, 14, 755, 27, 0, L"Резервная копия сайта с VDS на выбранный носитель"},
    {L"BUTTON", kHelp, 805, 10, 150, 34, BS_PUSHBUTTON, L"?  Справка"},
    // Подключение
    {L"STATIC", 0, 20, 90, 930, 25, 0, L"Диск для резервных копий (смена буквы не сбрасывает привязку)", kConnection},
    {L"COMBOBOX", kDriveList, 20, 118, 790, 300, CBS_DROPDOWNLIST | WS_VSCROLL, L"", kConnection},
    {L"BUTTON", kRefresh, 820, 116, 135, 30, BS_PUSHBUTTON, L"Обновить", kConnection},
    {L"STATIC", 0, 20, 158, 220, 24, 0, L"IP / домен", kConnection},
    {L"STATIC", 0, 355, 158, 100, 24, 0, L"Порт SSH", kConnection},
    {L"STATIC", 0, 485, 158, 180, 24, 0, L"Логин", kConnection},
    {L"STATIC", 0, 685, 158, 290, 24, 0, L"Пароль (пусто = сохранённый)", kConnection},
    {L"EDIT", kHost, 20, 186, 310, 30, ES_AUTOHSCROLL, nullptr, kConnection},
    {L"EDIT", kPort, 355, 186, 105, 30, ES_NUMBER, nullptr, kConnection},
    {L"EDIT", kUser, 485, 186, 175, 30, ES_AUTOHSCROLL, nullptr, kConnection},
    {L"EDIT", kPassword, 685, 186, 270, 30, ES_PASSWORD | ES_AUTOHSCROLL, L"", kConnection},
    {L"STATIC", 0, 20, 226, 910, 24, 0,
     L"Закреплённый ключ SSH (смена ключа останавливает автоматические подключения)", kConnection},
    {L"EDIT", kFingerprint, 20, 254, 735, 30, ES_AUTOHSCROLL, nullptr, kConnection},
    {L"BUTTON", kFetchKey, 770, 253, 185, 31, BS_PUSHBUTTON, L"Получить ключ\u2026", kConnection},
    {L"STATIC", kHint, 20, 296, 935, 60, 0,
     L"Папка копий: Backcup_Site_Tesmora на выбранном диске.\nОкно можно закрыть: включённое расписание работает "
     L"после входа в Windows. Справка: ? / F1.", kConnection},
    // Файлы и базы. Two-line labels: one line of either is wider than its
    // column in a font like Wine's stand-in for Segoe UI, and more so at 144 DPI.
    {L"STATIC", 0, 20, 88, 590, 44, 0, L"Каталоги / файлы на VDS — абсолютные пути,\nпо одному в строке", kFiles},
    {L"EDIT", kPaths, 20, 136, 590, 220, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, nullptr, kFiles},
    {L"STATIC", 0, 630, 88, 325, 44, 0, L"Базы данных, по одной в строке:\nmysql:имя или postgresql:имя", kFiles},
    {L"EDIT", kDatabases, 630, 136, 325, 180, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, nullptr,
     kFiles},
    {L"BUTTON", kDetectDatabases, 630, 324, 335, 30, BS_AUTOCHECKBOX, L"Искать базы в настройках сайтов", kFiles},
    // Расписание и история
    {L"STATIC", 0, 20, 94, 150, 25, 0, L"Интервал, часов", kSchedule},
    {L"EDIT", kHours, 180, 90, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"BUTTON", kAutomatic, 300, 90, 400, 30, BS_AUTOCHECKBOX, L"Автозапуск и расписание", kSchedule},
    {L"STATIC", 0, 20, 139, 230, 25, 0, L"Хранить копий (0 = все)", kSchedule},
    {L"EDIT", kKeep, 260, 135, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"STATIC", 0, 360, 139, 595, 25, 0, L"и сверх них самую новую копию каждого периода:", kSchedule},
    {L"STATIC", 0, 20, 184, 110, 25, 0, L"По дням", kSchedule},
    {L"EDIT", kKeepDaily, 135, 180, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"STATIC", 0, 250, 184, 130, 25, 0, L"По неделям", kSchedule},
    {L"EDIT", kKeepWeekly, 385, 180, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"STATIC", 0, 500, 184, 130, 25, 0, L"По месяцам", kSchedule},
    {L"EDIT", kKeepMonthly, 635, 180, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"STATIC", 0, 750, 184, 110, 25, 0, L"По годам", kSchedule},
    {L"EDIT", kKeepYearly, 865, 180, 75, 30, ES_NUMBER, nullptr, kSchedule},
    {L"STATIC", kHistory, 20, 226, 935, 25, 0, nullptr, kSchedule},
    {L"STATIC", 0, 20, 258, 935, 98, 0,
     L"0 — уровень выключен. Дни и недели без копий не считаются; самая новая и самая старая копии остаются "
     L"всегда. Когда места мало, первой прореживается история по дням, затем по неделям и месяцам.", kSchedule},
    // Шифрование
    {L"BUTTON", kEncrypt, 20, 92, 400, 30, BS_AUTOCHECKBOX, L"Шифровать копии (age)", kEncryption},
    {L"BUTTON", kEncryptionKey, 20, 132, 260, 34, BS_PUSHBUTTON, L"Ключ шифрования\u2026", kEncryption},
    {L"STATIC", kEncryptionState, 300, 138, 655, 25, 0, nullptr, kEncryption},
    {L"STATIC", 0, 20, 182, 935, 174, 0,
     L"Зашифрованную копию без ключа не прочитать: потерянный носитель ничего не выдаст. Ключ хранится в "
     L"диспетчере учётных данных Windows и на носителе (identity.age, под паролем). При включении программа "
     L"покажет лист восстановления: сохраните или распечатайте его и храните отдельно от носителя.", kEncryption},
    // Every tab's buttons and status.
    {L"BUTTON", kSave, 20, 376, 240, 37, BS_PUSHBUTTON, L"Сохранить / автозапуск"},
    {L"BUTTON", kCheck, 275, 376, 190, 37, BS_PUSHBUTTON, L"Проверить SSH"},
    {L"BUTTON", kBackupNow, 480, 376, 245, 37, BS_PUSHBUTTON, L"Сделать копию сейчас"},
    {L"BUTTON", kCancel, 740, 376, 215, 37, BS_PUSHBUTTON, L"Отменить"},
    {L"BUTTON", kOpenBackups, 20, 421, 270, 34, BS_PUSHBUTTON, L"Открыть резервные копии"},
    {L"BUTTON", kSnapshots, 305, 421, 250, 34, BS_PUSHBUTTON, L"Копии на диске\u2026"},
    {L"BUTTON", kSshKey, 570, 421, 200, 34, BS_PUSHBUTTON, L"Ключ SSH\u2026"},
    {L"STATIC", kSummary, 20, 462, 935, 62, 0, nullptr},
    {L"EDIT", kStatus, 20, 528, 935, 52, WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
     L"Готово. Сохраните настройки для регистрации расписания на этом ПК."},
    {PROGRESS_CLASSW, kProgress, 20, 586, 640, 22, PBS_SMOOTH, nullptr},
    {L"STATIC", kProgressCaption, 675, 586, 280, 22, 0, nullptr},
    // Last, so that it lies beneath the controls of its pages.
    {WC_TABCONTROLW, kTabs, 10, 48, 960, 318, WS_CLIPSIBLINGS, nullptr},
};

enum class WorkerMode { BackupNow, CheckSsh, FetchKey, InstallKey };

std::atomic<HWND> g_main{nullptr};

void PostStatus(const std::wstring& text) {
    PostOwned(g_main.load(), kStatusMessage, std::make_unique<std::wstring>(text));
}

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The worker's side of one operation; everything it learns goes to the window
// by posted messages.
void RunOperation(const BackupSettings& settings, WorkerMode mode, const CancelToken& cancel) {
    try {
        switch (mode) {
            case WorkerMode::BackupNow: {
                ProgressEstimate estimate;
                int shown = -2;
                std::wstring caption;
                const auto post = [&](const ProgressReading& reading) {
                    // At most one message per change a person can see.
                    if (reading.percent == shown && reading.caption == caption && reading.known) return;
                    shown = reading.known ? reading.percent : -1;
                    caption = reading.caption;
                    PostOwned(g_main.load(), kProgressMessage, std::make_unique<ProgressReading>(reading));
                };
                BackupJob::run(
                    settings, true, PostStatus,
                    [&](const JobProgress& progress) {
                        post(progress.verifying ? ProgressEstimate::verification(progress.verified, progress.toVerify)
                                                : estimate.transfer(progress.transfer.server, SteadySeconds()));
                    },
                    &cancel);
                post({true, 100, L"100 %"});
                break;
            }
            case WorkerMode::CheckSsh: {
                const SshLogin login = StoredLogin(settings);
                SshConnection connection = SshConnection::connect(EndpointOf(settings), &login, {}, &cancel);
                std::wstring text = L"Соединение и ключ сервера проверены. Вход: " +
                                    LoginMethodText(LoginLine(connection)) + L".";
                PostStatus(text + L"\r\nПроверка запуска программы на сервере…");
                // What a backup runs, so that a pass here means a backup can run.
                const ProbeResult probe = ProbeServer(connection, settings, &cancel);
                text += L"\r\nПрограмма копирования запускается (python3 " + FromUtf8(probe.python) + L").";
                PostStatus(text + L"\r\nПоиск баз данных в настройках сайтов…");
                // A large site takes a while to walk: its count shows that it moves.
                const DetectedDatabases found = DetectDatabases(
                    connection, settings,
                    [&](const ServerProgress& server) {
                        PostStatus(text + L"\r\nПоиск баз данных в настройках сайтов: просмотрено " +
                                   std::to_wstring(server.read) + L" файлов и папок…");
                    },
                    &cancel);
                PostStatus(text + L"\r\n" + DetectedDatabasesText(found));
                break;
            }
            case WorkerMode::InstallKey: {
                const KeyInstallResult result = InstallProgramKey(settings, &cancel);
                PostStatus((result.added ? L"Ключ программы добавлен на сервер" : L"Ключ программы уже был на сервере") +
                           std::wstring(L" и проверен. Теперь вход идёт по ключу, а пароль нужен, только если сервер "
                                        L"отклонит ключ."));
                break;
            }
            case WorkerMode::FetchKey: {
                SshConnection connection = SshConnection::connect(EndpointOf(settings), nullptr, {}, &cancel);
                PostOwned(g_main.load(), kFingerprintMessage,
                          std::make_unique<std::wstring>(HostKeyFingerprint(connection.session())));
                break;
            }
        }
    } catch (...) {
        // A backup stopped before its commit leaves no copy; the log keeps the English reason.
        PostStatus(FailureStatus(cancel, mode == WorkerMode::BackupNow ? L"Отменено: копия не создана." : L"Отменено"));
    }
    PostOwned(g_main.load(), kDoneMessage, std::make_unique<std::wstring>());
}

class SettingsWindow {
public:
    explicit SettingsWindow(BackupSettings& settings) : settings_(settings) {}

    void run();

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void resize(int width, int height);
    void changeDpi(UINT dpi, const RECT& suggested);
    void refreshDrives();
    void command(int id);
    std::wstring text(int id) const;
    void setText(int id, const std::wstring& value) { SetWindowTextW(GetDlgItem(window_, id), value.c_str()); }
    BackupSettings readForm() const;
    // False when the person stopped it (the recovery sheet not kept).
    bool saveAndApply(bool requireCredential = true);
    bool applyEncryption(BackupSettings& s);
    bool setUpEncryption(BackupSettings& s, bool newKey);
    void showEncryption();
    void refreshHistory();
    bool confirmRemovals(const BackupSettings& s);
    void encryptionMenu();
    void sshKeyMenu();
    void importKey();
    void startWorker(WorkerMode mode);
    void refreshSummary();
    void showProgress(const ProgressReading& reading);
    void scroll(int bar, int request, int trackPosition);
    void setScrollPosition(int bar, int position);

    BackupSettings& settings_;
    std::vector<DriveInfo> drives_;
    HWND window_ = nullptr;
    UINT dpi_ = 96;
    bool alert_ = false;  // the summary reports a failure or an overdue copy
};

// COM for the folder picker, on the window thread for the life of the window.
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (initialised_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

void SettingsWindow::run() {
    const ComApartment com;
    INITCOMMONCONTROLSEX common{sizeof(common), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&common);
    RegisterProgramClass(L"TesmoraBackupSettings", Procedure);

    // The window is made at the primary monitor's DPI and told when it moves
    // to a monitor with another.
    dpi_ = WindowDpi(nullptr);
    const RECT area = WorkArea();
    // The whole panel when the screen holds it, centred in the work area.
    RECT frame{0, 0, Scaled(kPanelWidth, dpi_), Scaled(kPanelHeight, dpi_)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    const int width = std::min<int>(frame.right - frame.left, area.right - area.left);
    const int height = std::min<int>(frame.bottom - frame.top, area.bottom - area.top);
    HWND window = CreateWindowExW(0, L"TesmoraBackupSettings", L"Tesmora — резервные копии сайта / настройки",
                                  // The scroll bars come only when the screen is smaller than the panel.
                                  WS_OVERLAPPEDWINDOW, area.left + (area.right - area.left - width) / 2,
                                  area.top + (area.bottom - area.top - height) / 2, width, height, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), this);
    if (window == nullptr) throw Error(ErrorCode::SettingsWindowNotCreated);
    g_main.store(window);
    dpi_ = WindowDpi(window);
    CreateControls(window, kControls, dpi_);
    HWND tabs = GetDlgItem(window_, kTabs);
    for (int page = 0; page < static_cast<int>(std::size(kPages)); ++page) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(kPages[page]);
        SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(page), reinterpret_cast<LPARAM>(&item));
    }
    ShowPage(window_, kControls, kConnection);
    setText(kHost, settings_.host);
    setText(kPort, std::to_wstring(settings_.port));
    setText(kUser, settings_.user);
    setText(kFingerprint, settings_.fingerprint);
    setText(kPaths, PathsBoxText(settings_.paths));
    setText(kDatabases, PathsBoxText(settings_.databases));
    SendMessageW(GetDlgItem(window_, kDetectDatabases), BM_SETCHECK,
                 settings_.detectDatabases ? BST_CHECKED : BST_UNCHECKED, 0);
    setText(kHours, std::to_wstring(settings_.hours));
    setText(kKeep, std::to_wstring(settings_.keep));
    for (const auto& [id, count] : {std::pair{kKeepDaily, settings_.keepDaily}, std::pair{kKeepWeekly, settings_.keepWeekly},
                                    std::pair{kKeepMonthly, settings_.keepMonthly},
                                    std::pair{kKeepYearly, settings_.keepYearly}}) {
        setText(id, std::to_wstring(count));
    }
    refreshHistory();
    SendMessageW(GetDlgItem(window_, kAutomatic), BM_SETCHECK, settings_.automatic ? BST_CHECKED : BST_UNCHECKED, 0);
    // On by default for a configuration not yet bound to a drive.
    const bool encrypt = !settings_.encryptionRecipient.empty() || settings_.device.empty();
    SendMessageW(GetDlgItem(window_, kEncrypt), BM_SETCHECK, encrypt ? BST_CHECKED : BST_UNCHECKED, 0);
    showEncryption();
    refreshSummary();
    refreshDrives();
    RECT client{};
    GetClientRect(window_, &client);
    resize(client.right, client.bottom);
    ShowWindow(window, SW_SHOW);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN && message.wParam == VK_F1) {
            OpenHelp();
            continue;
        }
        if (HelpWindow() != nullptr && IsDialogMessageW(HelpWindow(), &message)) continue;
        if (SnapshotsWindow() != nullptr && IsDialogMessageW(SnapshotsWindow(), &message)) continue;
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    ReleaseTaskbar();
    DeleteUiFonts();
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
    } catch (...) {
        ShowCurrentError(window);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT SettingsWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom == kTabs && header->code == TCN_SELCHANGE) {
                ShowPage(window_, kControls, static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
            }
            return 0;
        }
        case WM_COMMAND:
            if (HIWORD(wParam) == EN_CHANGE && (LOWORD(wParam) == kKeep || LOWORD(wParam) == kHours ||
                                                (LOWORD(wParam) >= kKeepDaily && LOWORD(wParam) <= kKeepYearly))) {
                refreshHistory();
                return 0;
            }
            if (LOWORD(wParam) == kDriveList && HIWORD(wParam) == CBN_SELCHANGE) {
                // A drive about to be bound anew starts with encryption on.
                const auto line = SendMessageW(GetDlgItem(window_, kDriveList), CB_GETCURSEL, 0, 0);
                if (line >= 0 && static_cast<std::size_t>(line) < drives_.size() &&
                    drives_[static_cast<std::size_t>(line)].identity != settings_.device) {
                    SendMessageW(GetDlgItem(window_, kEncrypt), BM_SETCHECK, BST_CHECKED, 0);
                }
                return 0;
            }
            command(LOWORD(wParam));
            return 0;
        case WM_SIZE:
            resize(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case kDpiChanged:
            changeDpi(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
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
            // A server's message may run over many lines: shown whole, scrolled to its end.
            HWND box = GetDlgItem(window_, kStatus);
            SetWindowTextW(box, WithCrLf(*status).c_str());
            SendMessageW(box, EM_LINESCROLL, 0, SendMessageW(box, EM_GETLINECOUNT, 0, 0));
            refreshSummary();
            return 0;
        }
        case kProgressMessage: {
            std::unique_ptr<ProgressReading> reading(reinterpret_cast<ProgressReading*>(lParam));
            showProgress(*reading);
            return 0;
        }
        case kDoneMessage:
            delete reinterpret_cast<std::wstring*>(lParam);
            EndTaskbarProgress();
            refreshSummary();
            return 0;
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
            // read-only status box keeps the look of a field; a failure or an
            // overdue copy turns the summary red.
            HWND control = reinterpret_cast<HWND>(lParam);
            wchar_t className[16] = {};
            GetClassNameW(control, className, 16);
            if (lstrcmpiW(className, L"Edit") == 0) return DefWindowProcW(window_, message, wParam, lParam);
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetBkMode(dc, TRANSPARENT);
            if (GetDlgCtrlID(control) == kSummary && alert_) SetTextColor(dc, RGB(192, 0, 0));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        case WM_HELP:
            OpenHelp();
            return TRUE;
        case WM_CLOSE:
            if (WorkerBusy()) {
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

// The scroll bars cover the panel at this DPI; children follow the position.
void SettingsWindow::resize(int width, int height) {
    // The range is inclusive: a panel of N pixels is 0 to N - 1.
    for (const auto& [bar, maximum, page] : {std::tuple{SB_VERT, Scaled(kPanelHeight, dpi_) - 1, height},
                                             std::tuple{SB_HORZ, Scaled(kPanelWidth, dpi_) - 1, width}}) {
        const int before = GetScrollPos(window_, bar);
        SCROLLINFO info{sizeof(info), SIF_RANGE | SIF_PAGE, 0, maximum, static_cast<UINT>(page), 0, 0};
        SetScrollInfo(window_, bar, &info, TRUE);
        const int after = GetScrollPos(window_, bar);
        if (after != before) {
            ScrollWindowEx(window_, bar == SB_HORZ ? before - after : 0, bar == SB_VERT ? before - after : 0, nullptr,
                           nullptr, nullptr, nullptr, SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
        }
    }
}

// Moved to a monitor of another DPI: the suggested size, the layout and the
// font at the new DPI, scrolled back to the top.
void SettingsWindow::changeDpi(UINT dpi, const RECT& suggested) {
    dpi_ = dpi;
    SetScrollPos(window_, SB_VERT, 0, FALSE);
    SetScrollPos(window_, SB_HORZ, 0, FALSE);
    LayoutControls(window_, kControls, dpi_);
    SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{};
    GetClientRect(window_, &client);
    resize(client.right, client.bottom);
    InvalidateRect(window_, nullptr, TRUE);
}

void SettingsWindow::scroll(int bar, int request, int trackPosition) {
    SCROLLINFO info{sizeof(info), SIF_POS | SIF_PAGE, 0, 0, 0, 0, 0};
    GetScrollInfo(window_, bar, &info);
    int position = info.nPos;
    switch (request) {
        case SB_LINEUP: position -= Scaled(kLineStep, dpi_); break;
        case SB_LINEDOWN: position += Scaled(kLineStep, dpi_); break;
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
    // The local record of the last success stands in while the drive is absent.
    std::uint64_t lastSuccess = settings_.drive_root.empty() ? 0 : ReadScheduleState(file).last_success;
    try {
        lastSuccess = std::max(lastSuccess,
                               notices::ReadNoticeState(notices::NoticeStateFile(LocalDataDirectory())).last_success);
    } catch (const std::exception&) {
        // Without a local data folder the drive's record is all there is.
    }
    const std::vector<LogLine> log = ReadBackupLog(settings_);
    Summary summary = ScheduleSummary(UnixNow(), lastSuccess, settings_.hours, FindLastFailure(log));
    // The login goes at the end of the first line: the box holds four lines.
    if (const std::wstring login = LastLoginText(log); !login.empty()) {
        summary.text.insert(std::min(summary.text.find(L'\n'), summary.text.size()), L"  \u00B7  " + login);
    }
    alert_ = summary.alert;
    setText(kSummary, summary.text);
}

void SettingsWindow::showProgress(const ProgressReading& reading) {
    ShowProgress(GetDlgItem(window_, kProgress), reading);
    setText(kProgressCaption, reading.caption);
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
    form.databases = text(kDatabases);
    form.detectDatabases = SendMessageW(GetDlgItem(window_, kDetectDatabases), BM_GETCHECK, 0, 0) == BST_CHECKED;
    form.hours = text(kHours);
    form.keep = text(kKeep);
    form.keepDaily = text(kKeepDaily);
    form.keepWeekly = text(kKeepWeekly);
    form.keepMonthly = text(kKeepMonthly);
    form.keepYearly = text(kKeepYearly);
    form.automatic = SendMessageW(GetDlgItem(window_, kAutomatic), BM_GETCHECK, 0, 0) == BST_CHECKED;
    return ReadForm(settings_, drives_, form);
}

bool SettingsWindow::saveAndApply(bool requireCredential) {
    RequireIdleWorker();
    BackupSettings s = readForm();
    // The checks every backup run makes again, so a list of paths too long
    // for the server's command is refused now rather than at 03:00.
    ValidateSettings(s);
    OperationLock lock = AcquireOperationLock(s.id);
    if (!confirmRemovals(s)) return false;
    if (!applyEncryption(s)) return false;
    std::wstring password = text(kPassword);
    // A server without passwords needs only the stored key; the import saves
    // the settings before there is any.
    std::optional<std::string> key = requireCredential && password.empty() ? ReadStoredKey(s) : std::nullopt;
    if (key) {
        WipeString(*key);
    } else if (requireCredential && password.empty()) {
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
    try {
        RegisterTask(s.automatic);
    } catch (const Error& e) {
        if (s.automatic) throw;
        // Saved, but the task stayed and goes on starting backups.
        setText(kStatus, L"Настройки сохранены. Пароль защищён Windows. Автозапуск НЕ выключен: задача расписания "
                         L"осталась.");
        throw ExplainedError(e, L"Windows не дал удалить задачу расписания «Tesmora-SiteBackup»: автоматические копии "
                                L"продолжатся. Запустите программу от имени администратора и сохраните ещё раз.");
    }
    showEncryption();
    setText(kStatus, std::wstring(L"Настройки сохранены. Пароль защищён Windows. Автозапуск ") +
                         (s.automatic ? L"включён." : L"выключен."));
    return true;
}

// The check box against the saved recipient: turning it on makes or reuses
// the key and shows the recovery sheet; turning it off asks first.
bool SettingsWindow::applyEncryption(BackupSettings& s) {
    const bool wanted = SendMessageW(GetDlgItem(window_, kEncrypt), BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (wanted && s.encryptionRecipient.empty()) return setUpEncryption(s, false);
    if (!wanted && !s.encryptionRecipient.empty()) {
        const int answer = MessageBoxW(
            window_,
            L"Выключить шифрование копий?\n\nНовые копии будут лежать на диске открыто: потерянный диск выдаст "
            L"файлы сайта и пароли его баз данных. Уже зашифрованные копии останутся зашифрованными и читаемыми.",
            L"Шифрование копий", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer != IDYES) {
            SendMessageW(GetDlgItem(window_, kEncrypt), BM_SETCHECK, BST_CHECKED, 0);
            return true;
        }
        s.encryptionRecipient.clear();
    }
    return true;
}

// Makes the key (or a new one), seals identity.age with a passphrase the
// person gives or one proposed, and holds the settings back until the
// recovery sheet is kept.
bool SettingsWindow::setUpEncryption(BackupSettings& s, bool newKey) {
    std::optional<std::string> passphrase = AskPassphrase(
        window_, L"Пароль к identity.age",
        L"Придумайте пароль к identity.age (ключ на диске для другого ПК) или оставьте поле пустым: программа "
        L"предложит свой и напишет его на листе восстановления.");
    if (!passphrase) return false;
    setText(kStatus, L"Шифрование: создание ключа и identity.age\u2026");
    EncryptionSetup setup = EnableEncryption(s, std::move(*passphrase), newKey);
    const bool kept = ConfirmRecoverySheet(window_, setup.sheet);
    WipeString(setup.sheet);
    if (!kept) {
        setText(kStatus, L"Шифрование не включено: лист восстановления не подтверждён. Настройки не сохранены.");
        return false;
    }
    s.encryptionRecipient = setup.settings.encryptionRecipient;
    return true;
}

// The depth of history the form's policy gives, with the last archive's size.
void SettingsWindow::refreshHistory() {
    const auto number = [&](int id) { return static_cast<int>(ParseUnsignedOr(text(id), 0) & 0x7FFFFFFF); };
    const RetentionPolicy policy{number(kKeep), number(kKeepDaily), number(kKeepWeekly), number(kKeepMonthly),
                                 number(kKeepYearly)};
    const int hours = std::max(number(kHours), 1);
    std::wstring shown;
    if (!policy.trims()) {
        shown = settings_.fitHistory || settings_.device.empty()
                    ? L"История подберётся под свободное место после первой копии."
                    : L"Хранятся все копии.";
    } else {
        const std::uint64_t archive =
            settings_.drive_root.empty()
                ? 0
                : NewestArchiveBytes(os::JoinPath(settings_.drive_root, layout::kBackupFolder), settings_.id);
        shown = archive == 0 ? L"Глубина истории станет видна после первой копии."
                             : HistoryDepthText(ShapeOfHistory(policy, static_cast<std::uint32_t>(hours)), archive);
    }
    setText(kHistory, shown);
}

// A policy change that would remove more than three snapshots names them
// and asks first.
bool SettingsWindow::confirmRemovals(const BackupSettings& s) {
    const RetentionPolicy before{settings_.keep, settings_.keepDaily, settings_.keepWeekly, settings_.keepMonthly,
                                 settings_.keepYearly};
    const RetentionPolicy after{s.keep, s.keepDaily, s.keepWeekly, s.keepMonthly, s.keepYearly};
    if (s.drive_root.empty() || (before.keep == after.keep && before.daily == after.daily &&
                                 before.weekly == after.weekly && before.monthly == after.monthly &&
                                 before.yearly == after.yearly)) {
        return true;
    }
    RetentionContext context;
    context.policy = after;
    context.now = UnixNow();
    context.calendar = [](std::uint64_t utc) { return os::LocalTimeAt(utc); };
    const std::vector<std::wstring> going =
        SnapshotsRetentionWouldRemove(os::JoinPath(s.drive_root, layout::kBackupFolder), s.id, context);
    if (going.size() <= 3) return true;
    std::wstring list;
    for (std::size_t i = 0; i < going.size() && i < 12; ++i) list += L"\n  " + going[i];
    if (going.size() > 12) list += L"\n  \u2026 ещё " + std::to_wstring(going.size() - 12);
    const std::wstring question = L"С новыми правилами хранения после следующей успешной копии будут удалены " +
                                  std::to_wstring(going.size()) + L" копий:" + list + L"\n\nСохранить эти правила?";
    return MessageBoxW(window_, question.c_str(), L"Правила хранения", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) ==
           IDYES;
}

void SettingsWindow::showEncryption() {
    const std::wstring& recipient = settings_.encryptionRecipient;
    setText(kEncryptionState, recipient.empty()
                                  ? std::wstring(L"Копии не шифруются")
                                  : L"Ключ: " + recipient.substr(0, 12) + L"\u2026" +
                                        recipient.substr(recipient.size() - 6));
}

void SettingsWindow::encryptionMenu() {
    RequireIdleWorker();
    if (settings_.encryptionRecipient.empty()) {
        MessageBoxW(window_, L"Шифрование выключено. Отметьте «Шифровать копии» и сохраните настройки.",
                    L"Шифрование копий", MB_OK | MB_ICONINFORMATION);
        return;
    }
    const int choice = MenuUnder(window_, GetDlgItem(window_, kEncryptionKey),
                                 {{kNewPassphraseItem, L"Сменить пароль к identity.age\u2026"},
                                  {kNewEncryptionKeyItem, L"Новый ключ для новых копий (после утечки)\u2026"}});
    if (choice != kNewPassphraseItem && choice != kNewEncryptionKeyItem) return;
    BackupSettings s = settings_;
    const OperationLock lock = AcquireOperationLock(s.id);
    if (!setUpEncryption(s, choice == kNewEncryptionKeyItem)) return;
    SaveSettings(s);
    settings_ = s;
    showEncryption();
    setText(kStatus, choice == kNewEncryptionKeyItem
                         ? L"Новые копии шифруются новым ключом; прежние открываются прежним, он остался в identity.age."
                         : L"Пароль к identity.age изменён; ключи и копии прежние.");
}

void SettingsWindow::startWorker(WorkerMode mode) {
    if (WorkerBusy()) return;
    showProgress({true, 0, L""});
    StartWorker([settings = settings_, mode](const CancelToken& cancel) { RunOperation(settings, mode, cancel); });
}

// Asks for an OpenSSH private key file with the standard file picker.
std::wstring PickKeyFile(HWND owner) {
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) return {};
    std::unique_ptr<IFileOpenDialog, void (*)(IFileOpenDialog*)> owned(dialog, [](IFileOpenDialog* d) { d->Release(); });
    DWORD options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_FORCEFILESYSTEM | FOS_FILEMUSTEXIST);
    dialog->SetTitle(L"Файл закрытого ключа OpenSSH");
    return ChosenPath(dialog, owner);
}

void SettingsWindow::sshKeyMenu() {
    RequireIdleWorker();
    const int choice = MenuUnder(window_, GetDlgItem(window_, kSshKey),
                                 {{kInstallKeyItem, L"Создать ключ программы и добавить на сервер"},
                                  {kImportKeyItem, L"Загрузить ключ из файла\u2026"}});
    if (choice == kInstallKeyItem) {
        if (saveAndApply()) startWorker(WorkerMode::InstallKey);
    } else if (choice == kImportKeyItem) {
        importKey();
    }
}

void SettingsWindow::importKey() {
    if (!saveAndApply(false)) return;
    const std::wstring file = PickKeyFile(window_);
    if (file.empty()) return;
    std::string passphrase;
    if (KeyFileNeedsPassphrase(file)) {
        std::optional<std::string> typed = AskPassphrase(
            window_, L"Фраза-пароль ключа", L"Ключ защищён фразой-паролем. Введите её (она нужна один раз):");
        if (!typed) return;
        passphrase = std::move(*typed);
    }
    try {
        ImportKeyFile(settings_, file, passphrase);
    } catch (...) {
        WipeString(passphrase);
        throw;
    }
    WipeString(passphrase);
    setText(kStatus, L"Ключ сохранён в диспетчере учётных данных Windows; файл больше не нужен. Проверка входа\u2026");
    startWorker(WorkerMode::CheckSsh);
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
            if (saveAndApply()) startWorker(WorkerMode::CheckSsh);
            break;
        case kBackupNow:
            if (saveAndApply()) startWorker(WorkerMode::BackupNow);
            break;
        case kEncryptionKey:
            encryptionMenu();
            break;
        case kFetchKey:
            settings_ = readForm();
            startWorker(WorkerMode::FetchKey);
            break;
        case kCancel:
            CancelWorker();
            break;
        case kOpenBackups: {
            const std::wstring folder = os::JoinPath(settings_.drive_root, layout::kBackupFolder);
            ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            break;
        }
        case kSnapshots:
            OpenSnapshots(settings_);
            break;
        case kSshKey:
            sshKeyMenu();
            break;
        case kHelp:
            OpenHelp();
            break;
        default:
            break;
    }
}

}  // namespace

HWND MainWindow() { return g_main.load(); }

const std::vector<ControlSpec>& SettingsControls() { return kControls; }

void RunSettingsWindow(BackupSettings& settings) {
    SettingsWindow window(settings);
    window.run();
}

}  // namespace tesmora::ui
