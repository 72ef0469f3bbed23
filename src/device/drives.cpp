#include "device/drives.h"

#include "os/text.h"

#include <cstring>
#include <cwchar>

namespace tesmora {
namespace {

constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;
constexpr size_t kMinimumDescriptorBytes = 40;
constexpr size_t kSerialNumberOffsetField = 24;
constexpr wchar_t kNoHardwareSerial[] = L"NO-HARDWARE-SERIAL";

class SystemFacts final : public DriveFactsSource {
public:
    std::uint32_t logicalDriveMask() const override { return os::LogicalDriveMask(); }
    unsigned driveType(const std::wstring& root) const override { return os::DriveTypeOf(root); }
    std::optional<os::VolumeFacts> volume(const std::wstring& root) const override {
        return os::VolumeInformation(root);
    }
    std::optional<os::SpaceFacts> space(const std::wstring& root) const override { return os::DiskSpace(root); }
    std::optional<std::string> storageDescriptor(const std::wstring& root) const override {
        return os::StorageDeviceDescriptor(root);
    }
};

std::wstring TrimSerial(std::wstring text) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\r' || c == L'\n' || c == L'\t'; };
    size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    std::wstring serial = text.substr(begin, end - begin);
    // The identity is stored as one INI line (device.ini, binding.ini): a line
    // break inside it would cut it short there, and the drive would never match.
    for (wchar_t& c : serial) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    return serial;
}

std::wstring UpToTerminator(const std::wstring& text) { return text.substr(0, text.find(L'\0')); }

}  // namespace

const DriveFactsSource& SystemDriveFacts() {
    static const SystemFacts facts;
    return facts;
}

std::wstring SerialFromDescriptor(std::string_view descriptor) {
    if (descriptor.size() < kMinimumDescriptorBytes) return {};
    std::uint32_t offset = 0;
    for (int i = 3; i >= 0; --i) {
        offset = (offset << 8) | static_cast<unsigned char>(descriptor[kSerialNumberOffsetField + i]);
    }
    if (offset == 0 || offset >= descriptor.size()) return {};
    const size_t end = descriptor.find('\0', offset);
    if (end == std::string_view::npos) return {};
    return TrimSerial(FromUtf8(descriptor.substr(offset, end - offset)));
}

std::wstring DriveIdentity(const std::wstring& hardwareSerial, std::uint32_t volumeSerial) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"%x", static_cast<unsigned>(volumeSerial));
    return (hardwareSerial.empty() ? std::wstring(kNoHardwareSerial) : hardwareSerial) + L"/VOL-" + hex;
}

bool IsPlaceholderSerial(std::wstring_view identity) {
    const std::wstring_view hardware = identity.substr(0, identity.find(L"/VOL-"));
    if (hardware == kNoHardwareSerial) return true;
    std::wstring compact;
    for (wchar_t c : hardware) {
        if (c >= L'a' && c <= L'z') {
            compact.push_back(static_cast<wchar_t>(c - 32));
        } else if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c >= 0x80) {
            // Letters of other scripts count as letters; none of them is F or 0.
            compact.push_back(c);
        }
    }
    return compact.empty() || compact.find_first_not_of(L'F') == std::wstring::npos ||
           compact.find_first_not_of(L'0') == std::wstring::npos;
}

std::vector<DriveInfo> EnumerateDrives(const DriveFactsSource& facts) {
    std::vector<DriveInfo> drives;
    const std::uint32_t mask = facts.logicalDriveMask();
    for (int n = 0; n < 26; ++n) {
        if ((mask & (1u << n)) == 0) continue;
        const std::wstring root = std::wstring(1, static_cast<wchar_t>(L'A' + n)) + L":\\";
        const unsigned type = facts.driveType(root);
        if (type != kDriveRemovable && type != kDriveFixed) continue;
        const auto volume = facts.volume(root);
        if (!volume) continue;
        const auto space = facts.space(root);
        if (!space) continue;
        const auto descriptor = facts.storageDescriptor(root);
        const std::wstring serial = descriptor ? SerialFromDescriptor(*descriptor) : std::wstring();
        drives.push_back(DriveInfo{root, DriveIdentity(serial, volume->serial), UpToTerminator(volume->label),
                                   UpToTerminator(volume->fileSystem), space->totalBytes, space->freeBytes});
    }
    return drives;
}

}  // namespace tesmora
