// When a scheduled start tells the user something, and what it says. The
// state lives in notices.ini in the local data directory, because the drive
// that holds schedule.ini may be the very thing that is missing.
#pragma once

#include "config/ini_file.h"
#include "os/error.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora::notices {

struct NoticeState {
    std::uint64_t last_success = 0;         // the last committed backup, manual or scheduled
    std::int32_t hours = 24;                // the interval of the drive's settings
    bool automatic = true;                  // a scheduled start implies the task was registered
    std::uint64_t last_failure_notice = 0;  // 0 after a success: the next failure is told at once
    std::uint64_t last_overdue_notice = 0;
};

// The keys of notices.ini in file order.
IniEntries NoticeStateEntries(const NoticeState& state);

// A failed scheduled run is told on the first failure after a success, then
// at most once a day; never while automatic backups are off, and never for a
// start that found another operation running (that is no failure of backups).
bool FailureNoticeDue(std::uint64_t now, const NoticeState& state, ErrorKind kind);

// A start that finds the drive absent tells once a day that the last success
// is older than the interval plus a day.
bool OverdueNoticeDue(std::uint64_t now, const NoticeState& state);

// What a failure of this kind means, in short Russian for someone who never
// saw the code. The internal and file-system kinds only lead in: their
// English message is the detail that matters.
std::wstring FailureReason(ErrorKind kind);

inline constexpr wchar_t kFailureTitle[] = L"Резервная копия не создана";
inline constexpr wchar_t kIncompleteTitle[] = L"Резервная копия неполная";
inline constexpr wchar_t kOverdueTitle[] = L"Диск для резервных копий не подключён";

// The reason (with the message where the reason needs it), then when the
// last good copy was made (`lastGoodCopy` is its local time as text, empty
// when there was none). At most 255 characters, the most a notification
// takes: a long reason is cut, the time line never.
std::wstring FailureNoticeText(ErrorKind kind, std::string_view utf8Message, const std::wstring& lastGoodCopy);

// Which databases a snapshot lacks, in short Russian around the server's
// English reasons (UTF-8), for the status, the window and the notice; empty
// when it lacks none.
std::wstring IncompleteText(const std::vector<std::string>& missed);

// The notice of a scheduled run that made an incomplete snapshot: the same
// text, cut to what a notification takes.
std::wstring IncompleteNoticeText(const std::vector<std::string>& missed);

// "Подключите диск для резервных копий: последняя копия N дн. назад", whole days.
std::wstring OverdueNoticeText(std::uint64_t now, std::uint64_t lastSuccess);

}  // namespace tesmora::notices
