// GUIDs, the user's identity, local time and folder identity in the native build.
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <random>

namespace tesmora::os {

std::wstring NewGuidText() {
    std::random_device random;
    unsigned char bytes[16];
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    wchar_t text[40];
    std::swprintf(text, 40, L"{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::wstring CurrentUserSid() {
    // A SID-shaped text that names the Unix user.
    return L"S-1-22-1-" + std::to_wstring(getuid());
}

LocalTime LocalTimeNow() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return LocalTime{static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                     static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                     static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec)};
}

LocalTime LocalTimeAt(std::uint64_t unixSeconds) {
    const auto moment = static_cast<time_t>(unixSeconds);
    tm local{};
    localtime_r(&moment, &local);
    return LocalTime{static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                     static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                     static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec)};
}

bool SameFolderOnDisk(const std::wstring& a, const std::wstring& b) {
    struct stat first {}, second {};
    const bool haveFirst = stat(FsPath(a).c_str(), &first) == 0;
    const bool haveSecond = stat(FsPath(b).c_str(), &second) == 0;
    if (!haveFirst && !haveSecond) {
        throw Error(ErrorCode::NeitherFolderExaminable, ToUtf8(a) + ": neither folder can be examined");
    }
    return haveFirst && haveSecond && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace tesmora::os
