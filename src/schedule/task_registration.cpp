#include "schedule/task_registration.h"

#include "config/local_data.h"
#include "config/layout.h"
#include "os/text.h"
#include "os/error.h"

#include <cwchar>
#include <fstream>
#include <string>

namespace tesmora {
namespace {

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::wstring Element(const wchar_t* name, const std::wstring& content) {
    return std::wstring(L"<") + name + L">" + content + L"</" + name + L">";
}

}  // namespace

std::wstring XmlEscape(const std::wstring& text) {
    std::wstring out = text;
    ReplaceAll(out, L"&", L"&amp;");
    ReplaceAll(out, L"<", L"&lt;");
    ReplaceAll(out, L">", L"&gt;");
    ReplaceAll(out, L"\"", L"&quot;");
    return out;
}

std::wstring BuildTaskXml(const std::wstring& userSid, const os::LocalTime& t, const std::wstring& programPath,
                          const std::wstring& workingDirectory) {
    wchar_t start[64];
    std::swprintf(start, 64, L"%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
           L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">" +
           Element(L"RegistrationInfo",
                   Element(L"Description",
                           L"Tesmora backup: user-enabled, USB identity checked, 24-hour persisted deadline.")) +
           Element(L"Triggers",
                   Element(L"LogonTrigger",
                           Element(L"Enabled", L"true") + Element(L"UserId", userSid) + Element(L"Delay", L"PT30S")) +
                       Element(L"TimeTrigger",
                               Element(L"Repetition", Element(L"Interval", L"PT15M") +
                                                          Element(L"StopAtDurationEnd", L"false")) +
                                   Element(L"StartBoundary", start) + Element(L"Enabled", L"true"))) +
           Element(L"Principals", L"<Principal id=\"User\">" + Element(L"UserId", userSid) +
                                      Element(L"LogonType", L"InteractiveToken") +
                                      Element(L"RunLevel", L"LeastPrivilege") + L"</Principal>") +
           Element(L"Settings", Element(L"MultipleInstancesPolicy", L"IgnoreNew") +
                                    Element(L"DisallowStartIfOnBatteries", L"false") +
                                    Element(L"StopIfGoingOnBatteries", L"false") +
                                    Element(L"StartWhenAvailable", L"true") + Element(L"Enabled", L"true") +
                                    Element(L"ExecutionTimeLimit", L"PT4H")) +
           L"<Actions Context=\"User\">" +
           Element(L"Exec", Element(L"Command", XmlEscape(programPath)) + Element(L"Arguments", L"--scheduled") +
                                Element(L"WorkingDirectory", XmlEscape(workingDirectory))) +
           L"</Actions></Task>";
}

std::wstring CreateTaskCommand(const std::wstring& taskXmlPath) {
    return L"schtasks.exe /Create /TN " + QuoteArgument(kTaskName) + L" /XML " + QuoteArgument(taskXmlPath) + L" /F";
}

std::wstring DeleteTaskCommand() { return L"schtasks.exe /Delete /TN " + QuoteArgument(kTaskName) + L" /F"; }

std::uint32_t RunHidden(const std::wstring& commandLine) {
    const auto exitCode = os::ChildProcess::RunHidden(commandLine, std::chrono::milliseconds(30000));
    if (!exitCode) throw Error(ErrorCode::TaskSchedulerNotLaunched);
    return *exitCode;
}

std::wstring CurrentUserSid() { return os::CurrentUserSid(); }

void RegisterTask(bool enable) {
    if (!enable) {
        const std::uint32_t exitCode = RunHidden(DeleteTaskCommand());
        // schtasks answers 1 both for a task that is not there and for a
        // refusal: only the scheduler can tell which, and only "not there" is
        // done. A scheduler that will not say may still start backups.
        if (exitCode != 0 && os::ScheduledTaskRegistered(kTaskName) != false) {
            throw Error(ErrorCode::TaskRemovalFailed,
                        std::to_string(exitCode) + "); run settings as administrator if Windows policy requires it");
        }
        return;
    }
    const os::LocalTime now = os::LocalTimeNow();
    const std::wstring localData = LocalDataDirectory();
    // The task starts the copy inside the local data directory, so the path
    // joins the folder and the file name with a separator.
    const std::wstring xml =
        BuildTaskXml(CurrentUserSid(), now, os::JoinPath(localData, layout::kProgramFile), localData);
    const std::wstring taskFile = os::JoinPath(localData, L"task.xml");
    {
        // Not atomic and not checked: a failed write makes schtasks fail below.
        std::ofstream out(os::FsPath(taskFile), std::ios::binary | std::ios::trunc);
        const std::string bytes = "\xFF\xFE" + Utf16LeBytes(xml);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (RunHidden(CreateTaskCommand(taskFile)) != 0) {
        throw Error(ErrorCode::TaskRegistrationFailed);
    }
}

}  // namespace tesmora
