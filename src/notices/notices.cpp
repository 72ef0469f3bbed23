#include "notices/notices.h"

#include "config/local_data.h"
#include "config/ini_file.h"
#include "config/time_stamp.h"
#include "os/os.h"

#include <chrono>

namespace tesmora::notices {
namespace {

constexpr wchar_t kStateFileName[] = L"notices.ini";
// Windows shows a notification for about five seconds, or holds it back while
// the user is away and may then never report; a minute is long enough to read
// and click it, and a balloon that never reports back cannot keep us running.
constexpr std::chrono::seconds kLongestNotice{60};

// Shows the notice; a click opens the settings from this very program.
bool Show(const std::wstring& title, const std::wstring& text) {
    return os::ShowNotice(title, text, os::ExecutablePath(), kLongestNotice);
}

// Records when a notice was shown. The file is read again: a manual backup
// may have succeeded while the notice was up, and its reset must stand.
void RecordNotice(const std::wstring& file, const NoticeState& before, std::uint64_t NoticeState::*field,
                  std::uint64_t now) {
    NoticeState state = ReadNoticeState(file);
    if (state.last_success != before.last_success) return;
    state.*field = now;
    WriteIniFile(file, NoticeStateEntries(state));
}

}  // namespace

std::wstring NoticeStateFile(const std::wstring& localDataFolder) {
    return os::JoinPath(localDataFolder, kStateFileName);
}

NoticeState ReadNoticeState(const std::wstring& file) {
    const auto value = [&](const wchar_t* key) { return ParseUnsignedOr(ReadIniValue(file, key, L""), UINT64_MAX); };
    NoticeState state;
    if (const std::uint64_t v = value(L"last_success"); v != UINT64_MAX) state.last_success = v;
    if (const std::uint64_t v = value(L"hours"); v >= 1 && v <= 8760) state.hours = static_cast<std::int32_t>(v);
    if (const std::uint64_t v = value(L"automatic"); v <= 1) state.automatic = v == 1;
    if (const std::uint64_t v = value(L"last_failure_notice"); v != UINT64_MAX) state.last_failure_notice = v;
    if (const std::uint64_t v = value(L"last_overdue_notice"); v != UINT64_MAX) state.last_overdue_notice = v;
    return state;
}

void RecordBackupSuccess(const BackupSettings& settings, std::uint64_t time) noexcept {
    try {
        WriteIniFile(NoticeStateFile(LocalDataDirectory()),
                     NoticeStateEntries(NoticeState{time, settings.hours, settings.automatic, 0, 0}));
    } catch (...) {
        // The backup is committed; a stale local record only delays or adds a notice.
    }
}

void KeepScheduleInStep(const std::wstring& file, const BackupSettings& settings) noexcept {
    try {
        NoticeState state = ReadNoticeState(file);
        if (state.hours == settings.hours && state.automatic == settings.automatic) return;
        state.hours = settings.hours;
        state.automatic = settings.automatic;
        WriteIniFile(file, NoticeStateEntries(state));
    } catch (...) {
        // The run goes on; the overdue rule keeps the values of the last success.
    }
}

void NoticeScheduledFailure(const std::wstring& file, std::uint64_t now, ErrorKind kind,
                            std::string_view message) noexcept {
    try {
        const NoticeState state = ReadNoticeState(file);
        if (!FailureNoticeDue(now, state, kind)) return;
        const std::wstring lastGood = state.last_success == 0 ? std::wstring() : LocalTimeText(state.last_success);
        if (!Show(kFailureTitle, FailureNoticeText(kind, message, lastGood))) return;
        RecordNotice(file, state, &NoticeState::last_failure_notice, now);
    } catch (...) {
        // errors.log and the exit code already report the failure.
    }
}

void NoticeIncompleteSnapshot(const std::vector<std::string>& missed) noexcept {
    try {
        if (!missed.empty()) Show(kIncompleteTitle, IncompleteNoticeText(missed));
    } catch (...) {
        // backup.log, the window and the exit code already tell it.
    }
}

void NoticeDriveAbsent(const std::wstring& file, std::uint64_t now) noexcept {
    try {
        const NoticeState state = ReadNoticeState(file);
        if (!OverdueNoticeDue(now, state)) return;
        if (!Show(kOverdueTitle, OverdueNoticeText(now, state.last_success))) return;
        RecordNotice(file, state, &NoticeState::last_overdue_notice, now);
    } catch (...) {
        // Nothing else reports an absent drive; the next start tries again.
    }
}

}  // namespace tesmora::notices
