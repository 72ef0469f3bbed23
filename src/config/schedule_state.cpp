#include "config/schedule_state.h"

#include "config/ini_file.h"
#include "config/time_stamp.h"

namespace tesmora {
namespace {

constexpr std::uint64_t kClockSkewAllowance = 300;
constexpr std::uint64_t kRetryPause = 900;
constexpr std::uint64_t kLongestHonouredPause = 3600;

std::uint64_t IntervalSeconds(std::int32_t hours) {
    // Widened with its sign, multiplied in unsigned 64-bit arithmetic.
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(hours)) * 3600u;
}

}  // namespace

ScheduleState ReadScheduleState(const std::wstring& file) {
    const auto value = [&](const wchar_t* key) { return ParseUnsignedOr(ReadIniValue(file, key, L""), 0); };
    ScheduleState state;
    state.last_success = value(L"last_success");
    state.last_seen = value(L"last_seen");
    state.retry_after = value(L"retry_after");
    return state;
}

bool IsBackupDue(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours, std::uint64_t lastSeen) {
    if (lastSuccess == 0) return true;
    if (lastSuccess > now + kClockSkewAllowance) return true;
    if (lastSeen > now + kClockSkewAllowance) return true;
    return now >= lastSuccess + IntervalSeconds(hours);
}

bool IsOverdue(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours) {
    if (lastSuccess == 0 || hours < 1) return false;
    return now > lastSuccess + IntervalSeconds(hours) + 86400;
}

bool ShouldScheduledStartRun(std::uint64_t now, bool automatic, std::int32_t hours, const ScheduleState& state) {
    if (!automatic) return false;
    if (!IsBackupDue(now, state.last_success, hours, state.last_seen)) return false;
    return !(now < state.retry_after && state.retry_after < now + kLongestHonouredPause);
}

void RecordAttempt(const std::wstring& file, std::uint64_t now, std::uint64_t oldLastSuccess) {
    WriteIniFile(file, {{L"last_success", std::to_wstring(oldLastSuccess)},
                        {L"last_seen", std::to_wstring(now)},
                        {L"last_attempt", std::to_wstring(now)},
                        {L"retry_after", std::to_wstring(now + kRetryPause)}});
}

void RecordSuccess(const std::wstring& file, std::uint64_t time) {
    WriteIniFile(file, {{L"last_success", std::to_wstring(time)}, {L"last_seen", std::to_wstring(time)},
                        {L"retry_after", L"0"}});
}

std::wstring ScheduleSummaryText(std::uint64_t lastSuccess, std::int32_t hours) {
    if (lastSuccess == 0) return L"Первая копия ещё не завершена; срок наступил.";
    return L"Последняя: " + FormatUtcStamp(lastSuccess) + L"\nСледующая: " +
           FormatUtcStamp(lastSuccess + IntervalSeconds(hours));
}

}  // namespace tesmora
