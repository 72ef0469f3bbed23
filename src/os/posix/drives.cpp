// Drive facts in the native build. Linux has no drive letters, so the native
// build sees no drives; the drive logic is tested through its own fakes and
// under Wine.
#include "os/os.h"

namespace tesmora::os {

std::uint32_t LogicalDriveMask() { return 0; }

unsigned DriveTypeOf(const std::wstring&) { return 1; }

std::optional<VolumeFacts> VolumeInformation(const std::wstring&) { return std::nullopt; }

std::optional<SpaceFacts> DiskSpace(const std::wstring&) { return std::nullopt; }

std::optional<std::string> StorageDeviceDescriptor(const std::wstring&) { return std::nullopt; }

}  // namespace tesmora::os
