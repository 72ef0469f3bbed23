// The serial inside a raw STORAGE_DEVICE_DESCRIPTOR as any device may answer
// it, and the identity built from it: it names the drive in binding.ini and
// device.ini, so it must read back from an INI line as it was written.
#include "config/ini_file.h"
#include "device/drives.h"
#include "fuzz_support.h"
#include "os/posix/profile.h"

#include <cwchar>

using namespace tesmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view descriptor(reinterpret_cast<const char*>(data), size);
    const std::wstring serial = SerialFromDescriptor(descriptor);
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; };
    FUZZ_CHECK(serial.size() <= size);
    FUZZ_CHECK(serial.find(L'\0') == std::wstring::npos);
    FUZZ_CHECK(serial.empty() || (!blank(serial.front()) && !blank(serial.back())));
    if (size < 40) FUZZ_CHECK(serial.empty());

    std::uint32_t volume = 0;
    for (size_t i = 0; i < 4 && i < size; ++i) volume = (volume << 8) | data[i];
    const std::wstring identity = DriveIdentity(serial, volume);
    wchar_t hex[16];
    std::swprintf(hex, 16, L"/VOL-%x", static_cast<unsigned>(volume));
    FUZZ_CHECK(identity == (serial.empty() ? std::wstring(L"NO-HARDWARE-SERIAL") : serial) + hex);
    if (serial.empty()) FUZZ_CHECK(IsPlaceholderSerial(identity));

    const auto found = os::FindProfileValue(os::DecodeProfileBytes(BuildIniContent({{L"device", identity}})),
                                            L"backup", L"device");
    FUZZ_CHECK(found && *found == identity);

    // Any text at all as an identity.
    FuzzedDataProvider in(data, size);
    IsPlaceholderSerial(fuzz::WideText(in));
    return 0;
}
