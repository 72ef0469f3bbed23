// Drive facts on Windows: volumes, free space and the storage descriptor.
#include "os/os.h"
#include "os/win/win32.h"

#include <winioctl.h>

#include <vector>

namespace tesmora::os {

std::uint32_t LogicalDriveMask() { return GetLogicalDrives(); }

unsigned DriveTypeOf(const std::wstring& root) { return GetDriveTypeW(root.c_str()); }

std::optional<VolumeFacts> VolumeInformation(const std::wstring& root) {
    wchar_t label[256] = {};
    wchar_t fileSystem[64] = {};
    DWORD serial = 0;
    if (!GetVolumeInformationW(root.c_str(), label, 256, &serial, nullptr, nullptr, fileSystem, 64)) {
        return std::nullopt;
    }
    return VolumeFacts{label, serial, fileSystem};
}

std::optional<SpaceFacts> DiskSpace(const std::wstring& root) {
    ULARGE_INTEGER freeToCaller{}, total{};
    if (!GetDiskFreeSpaceExW(root.c_str(), &freeToCaller, &total, nullptr)) return std::nullopt;
    return SpaceFacts{freeToCaller.QuadPart, total.QuadPart};
}

void SetKeepAwake(bool on) {
    SetThreadExecutionState(on ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
}

std::optional<std::string> StorageDeviceDescriptor(const std::wstring& root) {
    const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
    // No access rights asked: querying the descriptor needs no administrator.
    HANDLE handle = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<char> buffer(16384, '\0');
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, 12, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &returned, nullptr);
    CloseHandle(handle);
    if (!ok) return std::nullopt;
    return std::string(buffer.data(), returned);
}

}  // namespace tesmora::os
