#include "config/time_stamp.h"

#include "os/os.h"

#include <cwchar>

namespace tesmora {

std::uint64_t UnixNow() { return os::WallClock100ns() / 10000000ULL; }

std::wstring FormatUtcStamp(std::uint64_t seconds) {
    // The civil calendar from a day count (proleptic Gregorian), computed here
    // rather than by the C library so both builds give the same text for every
    // input, including those the library's calendar cannot represent.
    const std::uint64_t days = seconds / 86400;
    const std::uint64_t second_of_day = seconds % 86400;
    const std::uint64_t z = days + 719468;
    const std::uint64_t era = z / 146097;
    const std::uint64_t day_of_era = z - era * 146097;
    const std::uint64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint64_t mp = (5 * day_of_year + 2) / 153;
    const std::uint64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
    const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::uint64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    wchar_t buffer[64];
    std::swprintf(buffer, 64, L"%04llu-%02llu-%02llu_%02llu-%02llu-%02llu_UTC",
                  static_cast<unsigned long long>(year), static_cast<unsigned long long>(month),
                  static_cast<unsigned long long>(day), static_cast<unsigned long long>(second_of_day / 3600),
                  static_cast<unsigned long long>(second_of_day / 60 % 60),
                  static_cast<unsigned long long>(second_of_day % 60));
    return buffer;
}

}  // namespace tesmora
