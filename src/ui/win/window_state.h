// What the program's windows share on the window thread: DPI scaling, the
// UI font, the table-driven controls, the one worker operation and the
// messages it posts back.
#pragma once

#include "config/settings.h"
#include "encryption/snapshot_keys.h"
#include "os/cancel.h"
#include "os/error.h"
#include "os/win/win32.h"
#include "ui/window_texts.h"

#include <shobjidl.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tesmora::ui {

// ---- Messages posted to the windows by the worker ---------------------------
// Each carries a heap object in lParam that the receiving window takes over.
inline constexpr UINT kStatusMessage = WM_APP + 1;       // std::wstring, the status text
inline constexpr UINT kFingerprintMessage = WM_APP + 2;  // std::wstring, a fetched host key
inline constexpr UINT kProgressMessage = WM_APP + 3;     // ProgressReading
inline constexpr UINT kDoneMessage = WM_APP + 4;         // std::wstring, what the operation found
// Sent, not posted: wParam is a std::optional<std::string>* that the window
// fills with the passphrase of identity.age, or leaves empty when refused.
inline constexpr UINT kPassphraseMessage = WM_APP + 5;

// Posts `payload` to the window, which deletes it; dropped when the window is gone.
template <typename T>
void PostOwned(HWND window, UINT message, std::unique_ptr<T> payload) {
    if (window != nullptr && PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(payload.get()))) {
        payload.release();
    }
}

// ---- DPI ------------------------------------------------------------------------
// The dots per inch of the monitor the window is on (96 at 100 %).
UINT WindowDpi(HWND window);

// A length of the 96-DPI layout at `dpi`.
inline int Scaled(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }

// The UI font (Segoe UI, 17 pixels at 96 DPI) at `dpi`; made once per DPI
// and deleted by DeleteUiFonts after the message loop.
HFONT UiFont(UINT dpi);
void DeleteUiFonts();

// ---- Progress ----------------------------------------------------------------------
// Shows `reading` on the progress bar `bar` and on the settings window's
// taskbar button: a percentage, or a moving bar while the total is unknown.
void ShowProgress(HWND bar, const ProgressReading& reading);
// Takes the progress off the taskbar button when an operation ends.
void EndTaskbarProgress();
// Releases the taskbar button's interface; call before COM closes.
void ReleaseTaskbar();

// ---- Controls from a table --------------------------------------------------------
struct ControlSpec {
    const wchar_t* className;
    int id;
    int x, y, width, height;  // client pixels of the 96-DPI layout
    DWORD extraStyle;
    const wchar_t* text;      // fixed text; null where the window fills it
    int page = -1;            // the tab it shows on; -1: always shown
};

// Creates the controls in table order, which is the Tab order.
void CreateControls(HWND parent, const std::vector<ControlSpec>& table, UINT dpi);

// Shows the controls of `page` and of no page, and hides the others.
void ShowPage(HWND parent, const std::vector<ControlSpec>& table, int page);

// Moves the controls to the table's places at `dpi`, shifted by the scroll
// position, and gives them the font of that DPI.
void LayoutControls(HWND parent, const std::vector<ControlSpec>& table, UINT dpi, int scrollX = 0, int scrollY = 0);

// ---- The windows ----------------------------------------------------------------
HWND MainWindow();
void OpenHelp();
HWND HelpWindow();
void OpenSnapshots(const BackupSettings& settings);
HWND SnapshotsWindow();
// The control tables of the settings and the snapshots window.
const std::vector<ControlSpec>& SettingsControls();
const std::vector<ControlSpec>& SnapshotsControls();

// An error the window explains in its own words: `reason` stands in for the
// Russian explanation of the error's kind above its English message.
class ExplainedError : public Error {
public:
    ExplainedError(const Error& error, std::wstring reason) : Error(error), reason_(std::move(reason)) {}
    const std::wstring& reason() const { return reason_; }

private:
    std::wstring reason_;
};

// The exception being handled as the windows show errors: the Russian
// reason for its kind, then its English message.
std::wstring CurrentErrorText();

// The status line of an operation that ended in the exception being handled:
// `cancelled` when the person asked for the cancel, whatever failure the
// cancel caused on the operation's way out (a connection shut under a call),
// else "Ошибка: " and CurrentErrorText().
std::wstring FailureStatus(const CancelToken& cancel, const std::wstring& cancelled = L"Отменено");

// Shows the exception being handled in an "Ошибка" box over `window`; for
// the catch (...) of a window procedure, which must not let one escape.
void ShowCurrentError(HWND window);

// Registers a window class of the program: its icon, the arrow cursor, the
// window background. A class that is already registered is left as it is.
void RegisterProgramClass(const wchar_t* name, WNDPROC procedure);

// The usable area of the primary screen.
RECT WorkArea();

// ---- Menus and file pickers -------------------------------------------------
// Shows a menu of (id, text) items under `button`; the id chosen, 0 for none.
int MenuUnder(HWND owner, HWND button, std::initializer_list<std::pair<int, const wchar_t*>> items);
// Shows a file picker made and set up by the caller; the file system path
// chosen, empty when none.
std::wstring ChosenPath(IFileDialog* dialog, HWND owner);

// ---- Secrets ---------------------------------------------------------------------
// A modal prompt with one hidden field; nothing when the person cancelled.
std::optional<std::string> AskPassphrase(HWND owner, const wchar_t* title, const wchar_t* prompt);
// The prompt for the passphrase of the drive's identity.age.
std::optional<std::string> AskIdentityPassphrase(HWND owner);
// Shows the recovery sheet with a way to save it; true only once the person
// confirmed that it is kept.
bool ConfirmRecoverySheet(HWND owner, const std::string& sheet);
// For the worker: asks the window (kPassphraseMessage) when a key is needed.
PassphraseSource PassphraseFromWindow(HWND window);

// ---- The worker -----------------------------------------------------------------
// At most one long operation runs at a time in the process: a backup, a
// connection check, a key fetch, a verification or a restore. False when one
// already runs; the flag clears when `work` returns. `work` gets the cancel
// token of the operation, cleared before it starts.
bool StartWorker(std::function<void(const CancelToken&)> work);
bool WorkerBusy();
// Asks the running operation to stop; its blocked connection breaks at once.
void CancelWorker();
// Raises "Wait for the active operation" while one runs.
void RequireIdleWorker();

}  // namespace tesmora::ui
