// Drive facts in the native build. Linux has no drive letters, so the native
// build sees no drive letters; the drive logic is tested through its own fakes and
// under Wine.
#include "os/text.h"
#include "os/os.h"

#include <sys/statvfs.h>

namespace tesmora::os {

std::uint32_t LogicalDriveMask() { return 0; }

unsigned DriveTypeOf(const std::wstring&) { return 1; }

std::optional<VolumeFacts> VolumeInformation(const std::wstring&) { return std::nullopt; }

std::optional<SpaceFacts> DiskSpace(const std::wstring& root) {
    // Any folder can play a drive root here, so its file system answers.
    struct statvfs facts {};
    if (statvfs(ToUtf8(root).c_str(), &facts) != 0) return std::nullopt;
    return SpaceFacts{static_cast<std::uint64_t>(facts.f_bavail) * facts.f_frsize,
                      static_cast<std::uint64_t>(facts.f_blocks) * facts.f_frsize};
}

// Nothing sleeps on a development machine in a way a run must prevent.
void SetKeepAwake(bool) {}

std::optional<std::string> StorageDeviceDescriptor(const std::wstring&) { return std::nullopt; }

}  // namespace tesmora::os
