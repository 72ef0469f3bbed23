// The settings window: the program's face when started without a mode.
#pragma once

#include "config/settings.h"

namespace tesmora::ui {

// Shows the window for the process-wide settings and runs its message loop
// until the window is closed. Raises when the window cannot be created.
void RunSettingsWindow(BackupSettings& settings);

}  // namespace tesmora::ui
