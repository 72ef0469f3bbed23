// The drives that may serve as a destination, each named by an identity that
// survives a change of drive letter: the device's hardware serial (or
// "NO-HARDWARE-SERIAL"), "/VOL-" and the volume serial in lower-case hex.
#pragma once

#include "os/os.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

struct DriveInfo {
    std::wstring root;  // "F:\"
    std::wstring identity;
    std::wstring label;
    std::wstring file_system;
    std::uint64_t total_bytes = 0;
    std::uint64_t free_bytes = 0;
};

// Where the facts about drives come from: the system, or a test's stand-in.
class DriveFactsSource {
public:
    virtual ~DriveFactsSource() = default;
    virtual std::uint32_t logicalDriveMask() const = 0;
    virtual unsigned driveType(const std::wstring& root) const = 0;
    virtual std::optional<os::VolumeFacts> volume(const std::wstring& root) const = 0;
    virtual std::optional<os::SpaceFacts> space(const std::wstring& root) const = 0;
    virtual std::optional<std::string> storageDescriptor(const std::wstring& root) const = 0;
};

const DriveFactsSource& SystemDriveFacts();

// Removable and fixed drives whose volume and free space can be read, in
// letter order. Never fails; a drive that cannot be read is left out.
std::vector<DriveInfo> EnumerateDrives(const DriveFactsSource& facts = SystemDriveFacts());

// The serial number inside the raw STORAGE_DEVICE_DESCRIPTOR bytes, trimmed of
// blanks at both ends, line breaks inside it turned into spaces; empty when the
// descriptor carries none.
std::wstring SerialFromDescriptor(std::string_view descriptor);

std::wstring DriveIdentity(const std::wstring& hardwareSerial, std::uint32_t volumeSerial);

// True when the identity's hardware part is missing or generic (only F's,
// only 0's, or nothing but punctuation): not worth showing to a person.
bool IsPlaceholderSerial(std::wstring_view identity);

}  // namespace tesmora
