#include "device/drives.h"

#include "config/ini_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>

namespace tesmora {
namespace {

// A STORAGE_DEVICE_DESCRIPTOR as a device answers it: `size` bytes, the
// serial number offset at byte 24, the serial bytes at that offset.
std::string Descriptor(std::uint32_t offset, const std::string& serial, size_t size) {
    std::string bytes(size, '\0');
    for (int i = 0; i < 4; ++i) bytes[24 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
    if (offset < size) bytes.replace(offset, std::min(serial.size(), size - offset), serial.substr(0, size - offset));
    return bytes;
}

TEST(SerialFromDescriptor, ReadsTheZeroTerminatedSerialAndTrimsBlanks) {
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string("XK42A7731905\0", 13), 128)), L"XK42A7731905");
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string(" ABC 123 \0", 10), 128)), L"ABC 123");
    EXPECT_EQ(SerialFromDescriptor(Descriptor(40, std::string("\t\r\nS1\n\0", 7), 48)), L"S1");
}

TEST(SerialFromDescriptor, GivesNothingForDescriptorsWithoutAUsableSerial) {
    EXPECT_EQ(SerialFromDescriptor(Descriptor(0, "", 128)), L"");                  // offset 0: no serial
    EXPECT_EQ(SerialFromDescriptor(Descriptor(128, "", 128)), L"");                // offset past the data
    EXPECT_EQ(SerialFromDescriptor(Descriptor(1000, "", 128)), L"");
    EXPECT_EQ(SerialFromDescriptor(Descriptor(120, "ABCDEFGH", 128)), L"");        // no zero byte before the end
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string(" \t \0", 4), 128)), L"");  // only blanks
    EXPECT_EQ(SerialFromDescriptor(Descriptor(32, std::string("SER\0", 4), 39)), L"");    // under 40 bytes
    EXPECT_EQ(SerialFromDescriptor(""), L"");
}

TEST(SerialFromDescriptor, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string("AB\xFF" "C\0", 5), 128)), L"AB\uFFFDC");
}

// Found by fuzzing: a serial with a line break inside made an identity that
// device.ini and binding.ini could not hold on one line.
TEST(SerialFromDescriptor, TurnsLineBreaksInsideIntoSpaces) {
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string("AB\nCD\r\nEF\0", 11), 128)), L"AB CD  EF");
    EXPECT_EQ(SerialFromDescriptor(Descriptor(64, std::string("\nA\tB\r\0", 7), 128)), L"A\tB");
    const std::wstring identity =
        DriveIdentity(SerialFromDescriptor(Descriptor(64, std::string("S1\nS2\0", 6), 128)), 0x1a2b);
    const testing::TempDir folder;
    const std::wstring file = folder.file(L"binding.ini");
    WriteIniFile(file, {{L"device", identity}});
    EXPECT_EQ(ReadIniValue(file, L"device", L""), L"S1 S2/VOL-1a2b");
}

TEST(DriveIdentity, JoinsHardwareAndVolumeSerials) {
    EXPECT_EQ(DriveIdentity(L"XK42A7731905", 0x5e2f1a3c), L"XK42A7731905/VOL-5e2f1a3c");
    EXPECT_EQ(DriveIdentity(L"", 0x0000BEEF), L"NO-HARDWARE-SERIAL/VOL-beef");
    EXPECT_EQ(DriveIdentity(L"", 0), L"NO-HARDWARE-SERIAL/VOL-0");
    EXPECT_EQ(DriveIdentity(L"S", 0xFFFFFFFF), L"S/VOL-ffffffff");
}

TEST(IsPlaceholderSerial, RecognisesGenericHardwareParts) {
    for (const wchar_t* identity : {L"NO-HARDWARE-SERIAL/VOL-1a2b", L"FFFF_FFFF_FFFF_FFFF./VOL-1a2b",
                                    L"ffff ffff/VOL-1", L"0000_0000/VOL-1", L"----/VOL-1", L"/VOL-1", L""}) {
        EXPECT_TRUE(IsPlaceholderSerial(identity)) << std::wstring(identity).size();
    }
    for (const wchar_t* identity : {L"XK42A7731905/VOL-1a2b", L"0000_0001/VOL-1", L"F0/VOL-1",
                                    L"ЖЖЖ/VOL-1", L"NO-HARDWARE-SERIAL2/VOL-1"}) {
        EXPECT_FALSE(IsPlaceholderSerial(identity)) << std::wstring(identity).size();
    }
}

struct FakeDrive {
    unsigned type = 3;
    std::optional<os::VolumeFacts> volume;
    std::optional<os::SpaceFacts> space;
    std::optional<std::string> descriptor;
};

class FakeFacts final : public DriveFactsSource {
public:
    std::map<wchar_t, FakeDrive> drives;

    std::uint32_t logicalDriveMask() const override {
        std::uint32_t mask = 0;
        for (const auto& [letter, drive] : drives) mask |= 1u << (letter - L'A');
        return mask;
    }
    unsigned driveType(const std::wstring& root) const override { return drives.at(root[0]).type; }
    std::optional<os::VolumeFacts> volume(const std::wstring& root) const override { return drives.at(root[0]).volume; }
    std::optional<os::SpaceFacts> space(const std::wstring& root) const override { return drives.at(root[0]).space; }
    std::optional<std::string> storageDescriptor(const std::wstring& root) const override {
        return drives.at(root[0]).descriptor;
    }
};

TEST(EnumerateDrives, ListsReadableRemovableAndFixedDrivesInLetterOrder) {
    FakeFacts facts;
    const os::VolumeFacts volume{std::wstring(L"BACKUP\0junk", 11), 0x1a2b3c4d, L"exFAT"};
    const os::SpaceFacts space{1000, 2000};
    facts.drives[L'F'] = {2, volume, space, Descriptor(64, std::string("USB123\0", 7), 128)};
    facts.drives[L'D'] = {3, os::VolumeFacts{L"", 0xbeef, L"NTFS"}, space, std::nullopt};
    facts.drives[L'E'] = {5, volume, space, std::nullopt};          // optical
    facts.drives[L'G'] = {4, volume, space, std::nullopt};          // network
    facts.drives[L'H'] = {2, std::nullopt, space, std::nullopt};    // card reader without a card
    facts.drives[L'I'] = {3, volume, std::nullopt, std::nullopt};   // free space unreadable
    facts.drives[L'J'] = {6, volume, space, std::nullopt};          // RAM disk
    facts.drives[L'K'] = {3, volume, space, Descriptor(0, "", 40)}; // descriptor without a serial

    const auto drives = EnumerateDrives(facts);
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].root, L"D:\\");
    EXPECT_EQ(drives[0].identity, L"NO-HARDWARE-SERIAL/VOL-beef");
    EXPECT_EQ(drives[1].root, L"F:\\");
    EXPECT_EQ(drives[1].identity, L"USB123/VOL-1a2b3c4d");
    EXPECT_EQ(drives[1].label, L"BACKUP");
    EXPECT_EQ(drives[1].file_system, L"exFAT");
    EXPECT_EQ(drives[1].total_bytes, 2000u);
    EXPECT_EQ(drives[1].free_bytes, 1000u);
    EXPECT_EQ(drives[2].identity, L"NO-HARDWARE-SERIAL/VOL-1a2b3c4d");
    EXPECT_TRUE(EnumerateDrives(FakeFacts{}).empty());
}

}  // namespace
}  // namespace tesmora
