// The notices of scheduled starts: a failed run and a drive left unplugged
// for too long, shown in the notification area. Manual runs never show one.
// None of these raises: a notice that cannot be shown or recorded must not
// change what the run itself reports.
#pragma once

#include "config/settings.h"
#include "notices/notice_rules.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora::notices {

// notices.ini in the local data directory.
std::wstring NoticeStateFile(const std::wstring& localDataFolder);

// What notices.ini holds; missing or malformed values keep the defaults.
NoticeState ReadNoticeState(const std::wstring& stateFile);

// After every committed backup, manual or scheduled: the success time, and
// the interval and switch the overdue rule needs while the drive is absent.
void RecordBackupSuccess(const BackupSettings& settings, std::uint64_t time) noexcept;

// A scheduled start with the drive present: the interval and the switch, in
// case the settings changed since the last success. One small read; written
// only when something differs.
void KeepScheduleInStep(const std::wstring& stateFile, const BackupSettings& settings) noexcept;

// A scheduled run failed with this kind and message: the failure notice, when due.
void NoticeScheduledFailure(const std::wstring& stateFile, std::uint64_t now, ErrorKind kind,
                            std::string_view utf8Message) noexcept;

// A scheduled run committed a snapshot that lacks these databases (the
// server's reasons): the incomplete notice. Each such run tells it; the
// schedule makes them no more often than the interval.
void NoticeIncompleteSnapshot(const std::vector<std::string>& missed) noexcept;

// A scheduled start found the drive absent: the overdue notice, when due.
void NoticeDriveAbsent(const std::wstring& stateFile, std::uint64_t now) noexcept;

}  // namespace tesmora::notices
