// When the last backup succeeded, kept on the drive beside the backups, and
// the pure decisions made from it.
#pragma once

#include <cstdint>
#include <string>

namespace tesmora {

struct ScheduleState {
    std::uint64_t last_success = 0;
    std::uint64_t last_seen = 0;
    std::uint64_t retry_after = 0;
    std::uint64_t last_attempt = 0;
};

// Missing or malformed values read as 0 (last_attempt is not read).
ScheduleState ReadScheduleState(const std::wstring& scheduleFile);

// Due when nothing ever succeeded, when a recorded time lies more than 300 s
// in the future (the clock was set back), or when the interval has passed.
bool IsBackupDue(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours, std::uint64_t lastSeen);

// Overdue when the last success is older than the interval plus a day; a
// configuration that never succeeded is simply due, not overdue.
bool IsOverdue(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours);

// Whether a scheduled start goes on to back up: automatic backups on, due,
// and no retry pause that ends within the coming hour.
bool ShouldScheduledStartRun(std::uint64_t now, bool automatic, std::int32_t hours, const ScheduleState& state);

// last_success (kept), last_seen, last_attempt, retry_after = now + 900.
void RecordAttempt(const std::wstring& scheduleFile, std::uint64_t now, std::uint64_t oldLastSuccess);

// last_success = last_seen = time, retry_after = 0; last_attempt goes away.
void RecordSuccess(const std::wstring& scheduleFile, std::uint64_t time);

// The window's two lines about the last and the next backup.
std::wstring ScheduleSummaryText(std::uint64_t lastSuccess, std::int32_t hours);

}  // namespace tesmora
