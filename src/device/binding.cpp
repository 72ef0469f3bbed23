#include "device/binding.h"

#include "config/ini_file.h"
#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"

namespace tesmora {

std::wstring DeviceFilePath(const std::wstring& root) {
    return os::JoinPath(os::JoinPath(root, layout::kProgramFolder), layout::kDeviceFile);
}

std::wstring ResolveBoundDrive(const std::vector<DriveInfo>& drives, const std::wstring& device,
                               const std::wstring& id) {
    std::wstring result;
    for (const DriveInfo& drive : drives) {
        // A drive of another identity is never opened.
        if (drive.identity != device) continue;
        if (ReadIniValue(DeviceFilePath(drive.root), L"id", L"") != id) continue;
        if (!result.empty()) throw Error(ErrorCode::AmbiguousDevice);
        result = drive.root;
    }
    return result;
}

std::wstring ResolveBoundDrive(const std::wstring& device, const std::wstring& id) {
    return ResolveBoundDrive(EnumerateDrives(), device, id);
}

std::wstring NewBindingId() {
    const std::wstring text = os::NewGuidText();
    return text.size() >= 2 ? text.substr(1, text.size() - 2) : text;
}

}  // namespace tesmora
