// The two journals: backup.log on the drive (written by the backup job and
// the verification) and errors.log in the local data directory (written by
// the outermost handler). Each line is the UTC stamp, one space, the message
// and CR LF, in UTF-8. A journal that cannot be written loses its line
// silently.
//
// The lines of backup.log are read back (the window's summary, the state of
// each snapshot, facts told once), so their text has one owner: LogLine
// builds each kind and parses it again.
#pragma once

#include "config/settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

enum class LogKind {
    Start,                // START host:port
    Login,                // LOGIN method[; key refused]
    Success,              // SUCCESS snapshot
    Failed,               // FAILED (partial directory retained): staging: reason
    Warning,              // Warning: text
    Verify,               // VERIFY snapshot OK | VERIFY snapshot FAILED reason
    RetentionSkipped,     // Retention skipped: why
    RetentionIncomplete,  // Backup complete; retention could not finish. Existing copies kept.
    FinishedCommit,       // Finished the commit an earlier run left: snapshot
    NotRecorded,          // Snapshot snapshot is complete; its success could not be recorded: reason
    Incomplete,           // INCOMPLETE snapshot: reason (one line per database the snapshot lacks)
    Removed,              // REMOVED snapshot: why retention removed it
    Other,                // a line of an older or newer version
};

// One line of backup.log: when it was written, its kind and its parts.
struct LogLine {
    std::uint64_t time = 0;
    LogKind kind = LogKind::Other;
    std::wstring subject;  // host:port, the login method, a snapshot or staging folder
    std::wstring detail;   // a reason or a text
    bool ok = true;        // VERIFY ... OK; LOGIN without "; key refused"
    std::wstring message;  // the text as written, after the stamp

    static LogLine Start(const std::wstring& host, std::int32_t port);
    // The method as the log names it: "key", "password", "keyboard-interactive".
    static LogLine Login(const std::wstring& method, bool keyRefused);
    static LogLine Success(const std::wstring& snapshot);
    static LogLine Failed(const std::wstring& staging, const std::wstring& reason);
    static LogLine Warning(const std::wstring& text);
    static LogLine Verify(const std::wstring& snapshot, bool ok, const std::wstring& reason);
    static LogLine RetentionSkipped(const std::wstring& why);
    static LogLine RetentionIncomplete();
    static LogLine FinishedCommit(const std::wstring& snapshot);
    static LogLine NotRecorded(const std::wstring& snapshot, const std::wstring& reason);
    static LogLine Incomplete(const std::wstring& snapshot, const std::wstring& reason);
    static LogLine Removed(const std::wstring& snapshot, const std::wstring& why);
};

// The parts of a message as written.
LogLine ParseLogMessage(std::wstring message);

class BackupLog {
public:
    // Appends to backup.log in the backup folder of the settings' drive,
    // stamped with `unixTime`; the folder is not created.
    static void append(const BackupSettings& settings, const LogLine& line, std::uint64_t unixTime);
    static void append(const BackupSettings& settings, const LogLine& line);

    // Appends the message bytes as they are to errors.log.
    static void appendError(std::string_view utf8Message);
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
