// The Task Scheduler task that starts the program copy in the local data
// directory with --scheduled at logon and every 15 minutes. No resident
// process: each start decides for itself whether a backup is due.
#pragma once

#include "os/os.h"

#include <cstdint>
#include <string>

namespace tesmora {

inline constexpr wchar_t kTaskName[] = L"Tesmora-SiteBackup";

// "&", "<", ">" and the double quote as XML entities; apostrophes stay.
std::wstring XmlEscape(const std::wstring& text);

using os::QuoteArgument;

// The task definition as one line of XML.
std::wstring BuildTaskXml(const std::wstring& userSid, const os::LocalTime& registeredAt,
                          const std::wstring& programPath, const std::wstring& workingDirectory);

std::wstring CreateTaskCommand(const std::wstring& taskXmlPath);
std::wstring DeleteTaskCommand();

// Exit code of the command line run without a window, waiting at most 30 s.
// Raises "Could not launch Task Scheduler".
std::uint32_t RunHidden(const std::wstring& commandLine);

std::wstring CurrentUserSid();

// True: writes task.xml in the local data directory and (re)creates the task.
// False: deletes the task; a task that is not there is no error, one that
// stayed raises "Task removal failed (schtasks exit code N); ...".
void RegisterTask(bool enable);

}  // namespace tesmora
