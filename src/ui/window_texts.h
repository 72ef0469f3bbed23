// What the windows show, decided apart from the windows so it can be tested
// anywhere: the schedule summary, the progress bar's reading, the rows of the
// snapshots list, the errors and the status box's line breaks.
#pragma once

#include "repository/retention_plan.h"

#include "config/backup_log.h"
#include "os/error.h"
#include "remote/server_output.h"
#include "snapshot/snapshot_list.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora::ui {

// The last failure the log records after the last success, if any; a
// cancelled run is none. A last success whose snapshot lacks databases
// counts too, as `incomplete`, with its reasons.
struct LastFailure {
    std::uint64_t time = 0;
    std::wstring message;
    bool incomplete = false;
};
std::optional<LastFailure> FindLastFailure(const std::vector<LogLine>& log);

// How a login went in, in the window's words, from a backup.log "LOGIN ..."
// line: "по ключу", "по паролю", with the key's refusal when there was one.
std::wstring LoginMethodText(const LogLine& login);

// The newest "LOGIN ..." line of the log as the summary's line
// "Последний вход: по ключу"; empty when the log has none.
std::wstring LastLoginText(const std::vector<LogLine>& log);

// The schedule summary: the last and next backup, then the last failure and
// the overdue state when there are any; `alert` asks for red text.
struct Summary {
    std::wstring text;
    bool alert = false;
};
Summary ScheduleSummary(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours,
                        const std::optional<LastFailure>& failure);

// The progress bar's reading: a percentage, or a moving bar while the total
// is unknown, and a caption with the remaining time once the rate is steady.
struct ProgressReading {
    bool known = false;
    int percent = 0;
    std::wstring caption;
};

class ProgressEstimate {
public:
    // The server's report at `now` (seconds on a steady clock).
    ProgressReading transfer(const ServerProgress& server, double now);
    // The read-back of the archive ("Проверка копии").
    static ProgressReading verification(std::uint64_t done, std::uint64_t total);

private:
    double start_ = -1;          // when the first known total arrived
    std::uint64_t startRead_ = 0;
};

// The four cells of a snapshot's row: date and time, size, files, database
// copies and dumps, state.
std::vector<std::wstring> SnapshotRow(const SnapshotInfo& snapshot);

// "≈ 6 месяцев истории, 17 копий, 41 ГБ": how far a policy reaches back and
// what its copies of an archive of `archiveBytes` take.
std::wstring HistoryDepthText(const HistoryShape& shape, std::uint64_t archiveBytes);

// An error as the windows show it: what the kind means in Russian, then the
// program's own English message on the next line, the text the manual
// explains and the logs keep.
std::wstring ErrorText(ErrorKind kind, std::string_view utf8Message);

// The text with every bare line feed made CR LF, as an edit control wants it.
std::wstring WithCrLf(std::wstring_view text);

}  // namespace tesmora::ui
