#include "config/local_data.h"

#include "config/layout.h"
#include "os/os.h"

namespace tesmora {

std::wstring LocalDataDirectory() {
    const std::wstring path = os::JoinPath(os::JoinPath(os::LocalAppDataFolder(), layout::kLocalDataVendorFolder),
                                           layout::kLocalDataProductFolder);
    os::CreateDirectories(path);
    return path;
}

}  // namespace tesmora
