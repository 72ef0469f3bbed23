// The snapshots window: the copies on the bound drive with their verdicts,
// and verify and restore on the worker thread. Another configuration's copies
// are shown greyed and never touched.
#include "config/backup_log.h"
#include "config/layout.h"
#include "config/time_stamp.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "job/server_restore.h"
#include "remote/archive_stream.h"
#include "snapshot/snapshot_jobs.h"
#include "ui/window_texts.h"
#include "ui/win/window_state.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace tesmora::ui {
namespace {

enum ControlId : int {
    kList = 301, kVerify = 302, kVerifyAll = 303, kRestore = 304, kOpenFolder = 305, kProgress = 306,
    kCancel = 307, kStatus = 308, kServerFolderLabel = 309, kServerFolder = 310, kRestoreServer = 311,
};

const std::vector<ControlSpec> kControls = {
    {L"STATIC", 0, 16, 12, 868, 24, 0, L"Копии на выбранном диске: проверка и восстановление"},
    {WC_LISTVIEWW, kList, 16, 42, 868, 330, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, nullptr},
    {L"BUTTON", kVerify, 16, 384, 150, 34, BS_PUSHBUTTON, L"Проверить"},
    {L"BUTTON", kVerifyAll, 176, 384, 170, 34, BS_PUSHBUTTON, L"Проверить все"},
    {L"BUTTON", kRestore, 356, 384, 250, 34, BS_PUSHBUTTON, L"Восстановить в папку\u2026"},
    {L"BUTTON", kOpenFolder, 616, 384, 160, 34, BS_PUSHBUTTON, L"Открыть папку"},
    {L"STATIC", kServerFolderLabel, 16, 434, 180, 24, 0, L"Папка на сервере:"},
    {L"EDIT", kServerFolder, 200, 428, 416, 30, ES_AUTOHSCROLL, L"/var/www/restored"},
    {L"BUTTON", kRestoreServer, 626, 426, 258, 34, BS_PUSHBUTTON, L"Восстановить на сервер\u2026"},
    {PROGRESS_CLASSW, kProgress, 16, 476, 700, 22, PBS_SMOOTH, nullptr},
    {L"BUTTON", kCancel, 726, 470, 158, 34, BS_PUSHBUTTON, L"Отменить"},
    {L"STATIC", kStatus, 16, 512, 868, 44, 0, nullptr},
};

struct Column {
    const wchar_t* title;
    int width;
};
constexpr Column kColumns[] = {{L"Дата и время", 175}, {L"Размер", 100}, {L"Файлов / баз / дампов", 220}, {L"Состояние", 350}};

// What a finished operation tells the window: a text for the status line,
// and a question or a warning to put to the person.
struct Finished {
    std::wstring status;
    std::wstring warning;      // shown in a message box when not empty
    std::wstring openFolder;   // offered to open when not empty
};

HWND g_snapshots = nullptr;

std::wstring CopyName(const SnapshotInfo& snapshot) {
    return snapshot.created != 0 ? LocalTimeText(snapshot.created) + L" (" + snapshot.name + L")" : snapshot.name;
}

class SnapshotsView {
public:
    explicit SnapshotsView(const BackupSettings& settings) : settings_(settings) {}

    void create();

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void refresh();
    const SnapshotInfo* selected() const;
    const SnapshotInfo* selectedOwn();
    void verify(bool all);
    void restore();
    void restoreToServer();
    void finished(const Finished& result);
    void setStatus(const std::wstring& text) { SetWindowTextW(GetDlgItem(window_, kStatus), text.c_str()); }
    void progress(const ProgressReading& reading);

    BackupSettings settings_;
    std::vector<SnapshotInfo> snapshots_;
    HWND window_ = nullptr;
};

void SnapshotsView::create() {
    RegisterProgramClass(L"TesmoraBackupSnapshots", Procedure);
    const UINT dpi = WindowDpi(MainWindow());
    RECT frame{0, 0, Scaled(900, dpi), Scaled(568, dpi)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0);
    g_snapshots = CreateWindowExW(0, L"TesmoraBackupSnapshots", L"Tesmora Backup \u2014 копии на диске",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, MainWindow(),
                                  nullptr, GetModuleHandleW(nullptr), this);
    if (g_snapshots == nullptr) throw Error(ErrorCode::SnapshotsWindowNotCreated);
    CreateControls(window_, kControls, WindowDpi(window_));
    HWND list = GetDlgItem(window_, kList);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    for (int i = 0; i < 4; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kColumns[i].title);
        column.cx = Scaled(kColumns[i].width, WindowDpi(window_));
        ListView_InsertColumn(list, i, &column);
    }
    refresh();
    ShowWindow(g_snapshots, SW_SHOW);
    SetFocus(list);
}

LRESULT CALLBACK SnapshotsView::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<SnapshotsView*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<SnapshotsView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window owns its object; nothing refers to it after this.
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete self;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    try {
        return self->handle(message, wParam, lParam);
    } catch (...) {
        ShowCurrentError(window);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT SnapshotsView::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kVerify: verify(false); break;
                case kVerifyAll: verify(true); break;
                case kRestore: restore(); break;
                case kRestoreServer: restoreToServer(); break;
                case kOpenFolder: {
                    const SnapshotInfo* snapshot = selected();
                    const std::wstring folder = snapshot != nullptr
                                                    ? snapshot->path
                                                    : os::JoinPath(settings_.drive_root, layout::kBackupFolder);
                    ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
                    break;
                }
                case kCancel:
                    CancelWorker();
                    break;
                default:
                    break;
            }
            return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom != kList || header->code != NM_CUSTOMDRAW) break;
            auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(lParam);
            if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
            if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
                const auto index = static_cast<std::size_t>(draw->nmcd.lItemlParam);
                // Another configuration's copies: shown, greyed, never touched.
                if (index < snapshots_.size() && !snapshots_[index].own) draw->clrText = GetSysColor(COLOR_GRAYTEXT);
                return CDRF_DODEFAULT;
            }
            break;
        }
        case kProgressMessage: {
            std::unique_ptr<ProgressReading> reading(reinterpret_cast<ProgressReading*>(lParam));
            progress(*reading);
            return 0;
        }
        case kDoneMessage: {
            std::unique_ptr<Finished> result(reinterpret_cast<Finished*>(lParam));
            finished(*result);
            return 0;
        }
        case kPassphraseMessage:
            *reinterpret_cast<std::optional<std::string>*>(wParam) = AskIdentityPassphrase(window_);
            return 0;
        case 0x02E0: {  // WM_DPICHANGED
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            LayoutControls(window_, kControls, HIWORD(wParam));
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CTLCOLORSTATIC:
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        case WM_CLOSE:
            if (WorkerBusy()) {
                MessageBoxW(window_, L"Сейчас выполняется операция. Дождитесь завершения или нажмите «Отменить».",
                            L"Резервная копия", MB_OK);
                return 0;
            }
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            g_snapshots = nullptr;
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void SnapshotsView::refresh() {
    const std::wstring chosen = selected() != nullptr ? selected()->name : L"";
    snapshots_ = settings_.drive_root.empty()
                     ? std::vector<SnapshotInfo>()
                     : ListSnapshots(os::JoinPath(settings_.drive_root, layout::kBackupFolder), settings_.id,
                                     ReadBackupLog(settings_));
    HWND list = GetDlgItem(window_, kList);
    ListView_DeleteAllItems(list);
    for (std::size_t i = 0; i < snapshots_.size(); ++i) {
        const std::vector<std::wstring> cells = SnapshotRow(snapshots_[i]);
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(cells[0].c_str());
        item.lParam = static_cast<LPARAM>(i);
        ListView_InsertItem(list, &item);
        for (int cell = 1; cell < 4; ++cell) {
            ListView_SetItemText(list, static_cast<int>(i), cell, const_cast<wchar_t*>(cells[cell].c_str()));
        }
        if (snapshots_[i].name == chosen || (chosen.empty() && i == 0)) {
            ListView_SetItemState(list, static_cast<int>(i), LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
        }
    }
    if (snapshots_.empty()) setStatus(L"На диске нет копий.");
}

const SnapshotInfo* SnapshotsView::selected() const {
    const int index = ListView_GetNextItem(GetDlgItem(window_, kList), -1, LVNI_SELECTED);
    if (index < 0 || static_cast<std::size_t>(index) >= snapshots_.size()) return nullptr;
    return &snapshots_[static_cast<std::size_t>(index)];
}

// The selected copy when it is one this configuration may verify or restore.
const SnapshotInfo* SnapshotsView::selectedOwn() {
    const SnapshotInfo* snapshot = selected();
    if (snapshot == nullptr) {
        setStatus(L"Выберите копию в списке.");
    } else if (!snapshot->own) {
        setStatus(L"Это копия другой настройки: её можно только посмотреть.");
    } else if (snapshot->state == SnapshotState::Unfinished) {
        setStatus(L"Эта копия не завершена: её нельзя проверить или восстановить.");
    } else {
        return snapshot;
    }
    return nullptr;
}

void SnapshotsView::verify(bool all) {
    RequireIdleWorker();
    const SnapshotInfo* snapshot = all ? nullptr : selectedOwn();
    if (!all && snapshot == nullptr) return;
    std::vector<std::wstring> folders;
    if (snapshot != nullptr) folders.push_back(snapshot->path);
    std::vector<SnapshotInfo> own;
    for (const SnapshotInfo& s : snapshots_) {
        if (s.own && s.state != SnapshotState::Unfinished) own.push_back(s);
    }
    setStatus(L"Проверка\u2026");
    HWND window = window_;
    StartWorker([settings = settings_, folders, own, window](const CancelToken& cancel) {
        auto result = std::make_unique<Finished>();
        try {
            std::vector<std::wstring> damaged;
            const bool passed = VerifySnapshots(
                settings, folders,
                [&](const VerifyOutcome& outcome) {
                    if (outcome.verdict.ok) return;
                    const auto copy = std::find_if(own.begin(), own.end(),
                                                   [&](const SnapshotInfo& s) { return s.name == outcome.name; });
                    std::wstring others;
                    for (const SnapshotInfo& s : own) {
                        if (s.name != outcome.name) others += L"\n  " + CopyName(s);
                    }
                    damaged.push_back(L"Копия " + (copy != own.end() ? CopyName(*copy) : outcome.name) +
                                      L" повреждена: " + FromUtf8(outcome.verdict.reason) +
                                      L".\nЭтой копии нельзя доверять." +
                                      (others.empty() ? L" Других копий на диске нет."
                                                      : L" Другие копии на диске:" + others));
                },
                [&](std::size_t number, std::uint64_t done, std::uint64_t total) {
                    auto reading = std::make_unique<ProgressReading>(ProgressEstimate::verification(done, total));
                    if (folders.empty()) reading->caption += L" (копия " + std::to_wstring(number) + L")";
                    PostOwned(window, kProgressMessage, std::move(reading));
                },
                &cancel, PassphraseFromWindow(window));
            result->status = passed ? L"Проверка завершена: копиям можно доверять." : L"Проверка нашла повреждения.";
            for (const std::wstring& text : damaged) result->warning += (result->warning.empty() ? L"" : L"\n\n") + text;
        } catch (...) {
            result->status = FailureStatus(cancel);
        }
        PostOwned(window, kDoneMessage, std::move(result));
    });
}

// Asks for an empty or new folder with the standard folder picker.
std::wstring PickFolder(HWND owner) {
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) return {};
    std::unique_ptr<IFileOpenDialog, void (*)(IFileOpenDialog*)> owned(dialog, [](IFileOpenDialog* d) { d->Release(); });
    DWORD options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(L"Папка для восстановления (пустая или новая)");
    return ChosenPath(dialog, owner);
}

void SnapshotsView::restore() {
    RequireIdleWorker();
    const SnapshotInfo* snapshot = selectedOwn();
    if (snapshot == nullptr) return;
    const std::wstring target = PickFolder(window_);
    if (target.empty()) return;
    setStatus(L"Восстановление\u2026");
    HWND window = window_;
    StartWorker([settings = settings_, path = snapshot->path, target, window](const CancelToken& cancel) {
        auto result = std::make_unique<Finished>();
        try {
            const RestoreResult restored = RestoreOwnSnapshot(
                settings, path, target,
                [&](std::uint64_t done, std::uint64_t total) {
                    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
                    PostOwned(window, kProgressMessage,
                              std::make_unique<ProgressReading>(
                                  ProgressReading{true, percent, L"Восстановление: " + std::to_wstring(percent) + L" %"}));
                },
                &cancel, PassphraseFromWindow(window));
            result->status = RestoreSummaryText(restored);
            if (restored.skipped > 0) {
                result->warning = L"Восстановлено не всё: пропущено " + std::to_wstring(restored.skipped) +
                                  L". Подробности в restore-report.txt.";
            }
            if (!restored.archiveIntact) {
                result->warning = L"Архив этой копии повреждён: восстановленное может быть неполным. "
                                  L"Подробности в restore-report.txt.";
            }
            result->openFolder = target;
        } catch (...) {
            // A stopped restore keeps what it wrote, and its report says so.
            result->status = FailureStatus(
                cancel, L"Отменено. Уже восстановленное осталось в папке " + target + L" (см. restore-report.txt).");
        }
        PostOwned(window, kDoneMessage, std::move(result));
    });
}

void SnapshotsView::restoreToServer() {
    RequireIdleWorker();
    const SnapshotInfo* snapshot = selectedOwn();
    if (snapshot == nullptr) return;
    wchar_t text[1024] = L"";
    GetWindowTextW(GetDlgItem(window_, kServerFolder), text, 1024);
    const std::wstring folder = text;
    CheckRemoteFolder(folder);
    const std::wstring question = L"Восстановить копию " + CopyName(*snapshot) + L" на сервер " + settings_.host +
                                  L" в новую папку " + folder +
                                  L"?\n\nПапка должна быть новой или пустой; сайт на сервере не изменится.";
    if (MessageBoxW(window_, question.c_str(), L"Восстановление на сервер", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    setStatus(L"Проверка копии\u2026");
    HWND window = window_;
    StartWorker([settings = settings_, path = snapshot->path, folder, window](const CancelToken& cancel) {
        auto result = std::make_unique<Finished>();
        try {
            const RemoteRestoreResult restored = RestoreToServer(
                settings, path, folder,
                [&](const ServerRestoreProgress& stage) {
                    const int percent = stage.total == 0 ? 100 : static_cast<int>(stage.done * 100 / stage.total);
                    const wchar_t* caption = stage.stage == ServerRestoreProgress::Stage::Verify ? L"Проверка копии: "
                                             : stage.stage == ServerRestoreProgress::Stage::Upload
                                                 ? L"Отправка на сервер: "
                                                 : L"Распаковка на сервере: ";
                    PostOwned(window, kProgressMessage,
                              std::make_unique<ProgressReading>(
                                  ProgressReading{true, percent, caption + std::to_wstring(percent) + L" %"}));
                },
                &cancel, PassphraseFromWindow(window));
            result->status = RemoteRestoreSummary(restored);
            result->warning = restored.report;
            if (restored.refused > 0) {
                result->warning = L"Восстановлено не всё: отказано " + std::to_wstring(restored.refused) +
                                  L". Подробности в restore-report.txt.\n\n" + restored.report;
            }
        } catch (...) {
            result->status = FailureStatus(cancel);
        }
        PostOwned(window, kDoneMessage, std::move(result));
    });
}

void SnapshotsView::progress(const ProgressReading& reading) {
    ShowProgress(GetDlgItem(window_, kProgress), reading);
    setStatus(reading.caption);
}

void SnapshotsView::finished(const Finished& result) {
    EndTaskbarProgress();
    refresh();
    setStatus(result.status);
    if (!result.warning.empty()) MessageBoxW(window_, result.warning.c_str(), L"Проверка копий", MB_ICONWARNING);
    if (!result.openFolder.empty()) {
        const std::wstring question = result.status + L"\n\nОткрыть папку " + result.openFolder + L"?";
        if (MessageBoxW(window_, question.c_str(), L"Восстановление", MB_YESNO | MB_ICONINFORMATION) == IDYES) {
            ShellExecuteW(nullptr, L"open", result.openFolder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        }
    }
}

}  // namespace

HWND SnapshotsWindow() { return g_snapshots; }

const std::vector<ControlSpec>& SnapshotsControls() { return kControls; }

void OpenSnapshots(const BackupSettings& settings) {
    if (g_snapshots != nullptr) {
        ShowWindow(g_snapshots, SW_RESTORE);
        SetForegroundWindow(g_snapshots);
        return;
    }
    auto window = std::make_unique<SnapshotsView>(settings);
    window->create();
    window.release();  // owned by the window from here, deleted at WM_NCDESTROY
}

}  // namespace tesmora::ui
