// The clock reading in whole seconds and the one UTC stamp format that names
// snapshots and starts log lines.
#pragma once

#include "os/os.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tesmora {

// Seconds since 1970-01-01 00:00:00 UTC, rounded toward zero.
std::uint64_t UnixNow();

// The civil date and time in UTC of a moment in seconds since 1970.
os::LocalTime UtcTimeAt(std::uint64_t seconds);

// "YYYY-MM-DD_hh-mm-ss_UTC", 23 characters for the years 0 to 9999; stamps
// sort by time when compared as text.
std::wstring FormatUtcStamp(std::uint64_t seconds);

// "2026-12-06 14:05" in the local time of this computer, for people.
std::wstring LocalTimeText(std::uint64_t seconds);

// The seconds a stamp of that form stands for, read from the start of the
// text; empty when the text does not begin with one.
std::optional<std::uint64_t> ParseUtcStamp(std::wstring_view text);

}  // namespace tesmora
