// The native build has no window: the settings window is the Windows program's.
#include "ui/settings_window.h"

#include "os/error.h"

namespace tesmora::ui {

void RunSettingsWindow(BackupSettings&) { throw Error(ErrorCode::SettingsWindowNeedsWindows); }

}  // namespace tesmora::ui
