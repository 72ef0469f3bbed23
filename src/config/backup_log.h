// The two journals: backup.log on the drive (written by the backup job) and
// errors.log in the local data directory (written by the outermost handler).
// Each line is the UTC stamp, one space, the message and CR LF, in UTF-8.
// A journal that cannot be written loses its line silently.
#pragma once

#include "config/settings.h"

#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

class BackupLog {
public:
    // Appends to backup.log in the backup folder of the settings' drive; the
    // folder is not created.
    static void append(const BackupSettings& settings, std::wstring_view message);

    // Appends the message bytes as they are to errors.log.
    static void appendError(std::string_view utf8Message);
};

// One line of backup.log: when it was written and what it says.
struct LogLine {
    std::uint64_t time = 0;
    std::wstring message;
};

// The lines of a backup.log text, oldest first; lines without a stamp are
// left out.
std::vector<LogLine> ParseBackupLog(std::string_view bytes);

// backup.log of the settings' drive, parsed; empty when there is none.
std::vector<LogLine> ReadBackupLog(const BackupSettings& settings);

// The bytes one errors.log line consists of: line feeds in the message become
// CR LF, as a text-mode write on Windows stores them.
std::string ErrorLogLine(std::uint64_t unixSeconds, std::string_view utf8Message);

}  // namespace tesmora
