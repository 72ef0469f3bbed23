// The per-user folder outside the drive: binding.ini, the program copy the
// scheduled task starts, task.xml and errors.log.
#pragma once

#include <string>

namespace tesmora {

// The local application data folder + "Tesmora" + "SiteBackup", created with
// its missing parents on every call ("create_directories" when that fails).
std::wstring LocalDataDirectory();

}  // namespace tesmora
