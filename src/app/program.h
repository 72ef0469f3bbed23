// The start of the program: one mode per process, or the settings window.
#pragma once

#include "os/error.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {
struct DriveInfo;
}

namespace tesmora::app {

enum class Mode { Devices, SelfTest, Check, Install, BackupNow, Scheduled, Verify, Restore, RestoreToServer, InstallKey,
                  ImportKey, Encryption, Window };

// Argument 1 compared whole and case-sensitively with each mode name; anything
// else, and no argument at all, opens the window.
Mode ParseMode(const std::vector<std::wstring>& arguments);

// Argument 2, the file a mode writes its output to, when given.
std::optional<std::wstring> OutputPath(const std::vector<std::wstring>& arguments);

// The root of the drive whose settings this process uses, or empty:
// - the parent of the executable folder when settings.ini lies beside the
//   executable (the copy on the drive);
// - the bound drive found through binding.ini when the executable runs from
//   the local data directory (the copy the scheduled task starts);
// - empty otherwise. `resolveBoundDrive` is called only in the second case.
std::wstring DecideSettingsRoot(const std::wstring& executableFolder, const std::wstring& localDataFolder,
                                bool settingsBesideExecutable,
                                const std::function<std::wstring()>& resolveBoundDrive);

// The drive list as --devices writes it: one line of UTF-8 JSON,
// [{"root":"E:\\","serial":"<identity>"},...] in the list's order.
std::string DevicesJson(const std::vector<DriveInfo>& drives);

// The exit code of a run that failed with this kind of error: 2 when another
// operation was running (nothing was tried; a later start may well succeed),
// 3 when the user cancelled, 1 for every other failure.
int ExitCodeFor(ErrorKind kind);

// The exit code of a backup that made a snapshot without every database the
// server found: the copy is on the drive, and a script must still hear of it.
inline constexpr int kExitIncomplete = 4;

// Runs the whole process: start-up, one mode or the window, the outermost
// error handler. Returns 0 on success, kExitIncomplete after an incomplete
// snapshot, else ExitCodeFor the error.
int ProgramMain(const std::vector<std::wstring>& arguments);

}  // namespace tesmora::app
