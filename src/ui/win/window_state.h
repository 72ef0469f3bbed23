// What the settings window and the help window share on the window thread.
#pragma once

#include "os/win/win32.h"

namespace tesmora::ui {

// The one UI font, made before the windows and deleted after the loop.
HFONT UiFont();

// The main window, or null once it is gone (a late worker then posts nowhere).
HWND MainWindow();

// Opens the help window, or brings the open one to the front.
void OpenHelp();

// The help window, or null.
HWND HelpWindow();

// Registers a window class of the program: its icon, the arrow cursor, the
// window background. A class that is already registered is left as it is.
void RegisterProgramClass(const wchar_t* name, WNDPROC procedure);

// The usable area of the primary screen.
RECT WorkArea();

}  // namespace tesmora::ui
