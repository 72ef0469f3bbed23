#include "config/time_stamp.h"

#include "os/os.h"

#include <cwchar>

namespace tesmora {

std::uint64_t UnixNow() { return os::WallClock100ns() / 10000000ULL; }

std::wstring LocalTimeText(std::uint64_t seconds) {
    const os::LocalTime t = os::LocalTimeAt(seconds);
    wchar_t text[32];
    std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

os::LocalTime UtcTimeAt(std::uint64_t seconds) {
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
    return {static_cast<unsigned>(year), static_cast<unsigned>(month), static_cast<unsigned>(day),
            static_cast<unsigned>(second_of_day / 3600), static_cast<unsigned>(second_of_day / 60 % 60),
            static_cast<unsigned>(second_of_day % 60)};
}

std::wstring FormatUtcStamp(std::uint64_t seconds) {
    const os::LocalTime t = UtcTimeAt(seconds);
    wchar_t buffer[64];
    std::swprintf(buffer, 64, L"%04u-%02u-%02u_%02u-%02u-%02u_UTC", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buffer;
}

std::optional<std::uint64_t> ParseUtcStamp(std::wstring_view text) {
    // "YYYY-MM-DD_hh-mm-ss_UTC": the digits of each field at fixed places.
    constexpr std::wstring_view kShape = L"dddd-dd-dd_dd-dd-dd_UTC";
    if (text.size() < kShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= L'0' && text[i] <= L'9';
        if (kShape[i] == L'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t length) {
        std::uint64_t value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
        return value;
    };
    const std::uint64_t year = field(0, 4), month = field(5, 2), day = field(8, 2);
    const std::uint64_t hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    // Days from the civil date (the inverse of the calendar in FormatUtcStamp).
    const std::uint64_t y = month <= 2 ? year - 1 : year;
    const std::uint64_t era = y / 400;
    const std::uint64_t yearOfEra = y - era * 400;
    const std::uint64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::uint64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::uint64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace tesmora
