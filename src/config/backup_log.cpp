#include "config/backup_log.h"

#include "config/local_data.h"
#include "config/layout.h"
#include "os/text.h"
#include "config/time_stamp.h"
#include "os/os.h"

#include <fstream>
#include <iterator>

namespace tesmora {
namespace {

void AppendBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(os::FsPath(path), std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

constexpr std::wstring_view kStart = L"START ";
constexpr std::wstring_view kLogin = L"LOGIN ";
constexpr std::wstring_view kKeyRefused = L"; key refused";
constexpr std::wstring_view kSuccess = L"SUCCESS ";
constexpr std::wstring_view kFailed = L"FAILED (partial directory retained): ";
constexpr std::wstring_view kWarning = L"Warning: ";
constexpr std::wstring_view kVerify = L"VERIFY ";
constexpr std::wstring_view kRetentionSkipped = L"Retention skipped: ";
constexpr std::wstring_view kRetentionIncomplete = L"Backup complete; retention could not finish. Existing copies kept.";
constexpr std::wstring_view kFinishedCommit = L"Finished the commit an earlier run left: ";
constexpr std::wstring_view kSnapshot = L"Snapshot ";
constexpr std::wstring_view kNotRecorded = L" is complete; its success could not be recorded: ";
constexpr std::wstring_view kIncomplete = L"INCOMPLETE ";
constexpr std::wstring_view kRemoved = L"REMOVED ";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

LogLine Line(LogKind kind, std::wstring message, std::wstring subject = {}, std::wstring detail = {}, bool ok = true) {
    LogLine line;
    line.kind = kind;
    line.message = std::move(message);
    line.subject = std::move(subject);
    line.detail = std::move(detail);
    line.ok = ok;
    return line;
}

}  // namespace

LogLine LogLine::Start(const std::wstring& host, std::int32_t port) {
    const std::wstring address = host + L":" + std::to_wstring(port);
    return Line(LogKind::Start, std::wstring(kStart) + address, address);
}

LogLine LogLine::Login(const std::wstring& method, bool keyRefused) {
    return Line(LogKind::Login, std::wstring(kLogin) + method + (keyRefused ? std::wstring(kKeyRefused) : L""), method,
                {}, !keyRefused);
}

LogLine LogLine::Success(const std::wstring& snapshot) {
    return Line(LogKind::Success, std::wstring(kSuccess) + snapshot, snapshot);
}

LogLine LogLine::Failed(const std::wstring& staging, const std::wstring& reason) {
    return Line(LogKind::Failed, std::wstring(kFailed) + staging + L": " + reason, staging, reason, false);
}

LogLine LogLine::Warning(const std::wstring& text) {
    return Line(LogKind::Warning, std::wstring(kWarning) + text, {}, text);
}

LogLine LogLine::Verify(const std::wstring& snapshot, bool ok, const std::wstring& reason) {
    return Line(LogKind::Verify, std::wstring(kVerify) + snapshot + (ok ? L" OK" : L" FAILED " + reason), snapshot,
                ok ? std::wstring() : reason, ok);
}

LogLine LogLine::RetentionSkipped(const std::wstring& why) {
    return Line(LogKind::RetentionSkipped, std::wstring(kRetentionSkipped) + why, {}, why);
}

LogLine LogLine::RetentionIncomplete() { return Line(LogKind::RetentionIncomplete, std::wstring(kRetentionIncomplete)); }

LogLine LogLine::FinishedCommit(const std::wstring& snapshot) {
    return Line(LogKind::FinishedCommit, std::wstring(kFinishedCommit) + snapshot, snapshot);
}

LogLine LogLine::NotRecorded(const std::wstring& snapshot, const std::wstring& reason) {
    return Line(LogKind::NotRecorded, std::wstring(kSnapshot) + snapshot + std::wstring(kNotRecorded) + reason,
                snapshot, reason, false);
}

LogLine LogLine::Removed(const std::wstring& snapshot, const std::wstring& why) {
    return Line(LogKind::Removed, std::wstring(kRemoved) + snapshot + L": " + why, snapshot, why);
}

LogLine LogLine::Incomplete(const std::wstring& snapshot, const std::wstring& reason) {
    return Line(LogKind::Incomplete, std::wstring(kIncomplete) + snapshot + L": " + reason, snapshot, reason, false);
}

LogLine ParseLogMessage(std::wstring message) {
    const std::wstring_view text = message;
    const auto rest = [&](std::wstring_view prefix) { return std::wstring(text.substr(prefix.size())); };
    if (StartsWith(text, kStart)) return Line(LogKind::Start, message, rest(kStart));
    if (StartsWith(text, kLogin)) {
        std::wstring method = rest(kLogin);
        const bool refused = method.size() >= kKeyRefused.size() &&
                             std::wstring_view(method).substr(method.size() - kKeyRefused.size()) == kKeyRefused;
        if (refused) method.resize(method.size() - kKeyRefused.size());
        return Line(LogKind::Login, message, method, {}, !refused);
    }
    if (StartsWith(text, kSuccess)) return Line(LogKind::Success, message, rest(kSuccess));
    if (StartsWith(text, kFailed)) {
        const std::wstring parts = rest(kFailed);
        const std::size_t colon = parts.find(L": ");
        if (colon == std::wstring::npos) return Line(LogKind::Failed, message, {}, parts, false);
        return Line(LogKind::Failed, message, parts.substr(0, colon), parts.substr(colon + 2), false);
    }
    // Older versions wrote other FAILED lines: all of it is the reason.
    if (StartsWith(text, L"FAILED")) return Line(LogKind::Failed, message, {}, message, false);
    if (StartsWith(text, kRemoved)) {
        const std::wstring parts = rest(kRemoved);
        const std::size_t colon = parts.find(L": ");
        if (colon != std::wstring::npos) return Line(LogKind::Removed, message, parts.substr(0, colon), parts.substr(colon + 2));
    }
    if (StartsWith(text, kIncomplete)) {
        const std::wstring parts = rest(kIncomplete);
        const std::size_t colon = parts.find(L": ");
        if (colon != std::wstring::npos) {
            return Line(LogKind::Incomplete, message, parts.substr(0, colon), parts.substr(colon + 2), false);
        }
    }
    if (StartsWith(text, kWarning)) return Line(LogKind::Warning, message, {}, rest(kWarning));
    if (StartsWith(text, kVerify)) {
        const std::wstring parts = rest(kVerify);
        const std::size_t space = parts.find(L' ');
        const std::wstring verdict = space == std::wstring::npos ? L"" : parts.substr(space + 1);
        if (verdict == L"OK") return Line(LogKind::Verify, message, parts.substr(0, space));
        if (StartsWith(verdict, L"FAILED ")) {
            return Line(LogKind::Verify, message, parts.substr(0, space), verdict.substr(7), false);
        }
    }
    if (StartsWith(text, kRetentionSkipped)) return Line(LogKind::RetentionSkipped, message, {}, rest(kRetentionSkipped));
    if (text == kRetentionIncomplete) return Line(LogKind::RetentionIncomplete, message);
    if (StartsWith(text, kFinishedCommit)) return Line(LogKind::FinishedCommit, message, rest(kFinishedCommit));
    if (StartsWith(text, kSnapshot)) {
        const std::size_t at = text.find(kNotRecorded);
        if (at != std::wstring_view::npos) {
            return Line(LogKind::NotRecorded, message, std::wstring(text.substr(kSnapshot.size(), at - kSnapshot.size())),
                        std::wstring(text.substr(at + kNotRecorded.size())), false);
        }
    }
    return Line(LogKind::Other, message);
}

std::string ErrorLogLine(std::uint64_t unixSeconds, std::string_view utf8Message) {
    std::string line = ToUtf8(FormatUtcStamp(unixSeconds)) + " ";
    for (char c : utf8Message) {
        if (c == '\n') line.push_back('\r');
        line.push_back(c);
    }
    line += "\r\n";
    return line;
}

std::vector<LogLine> ParseBackupLog(std::string_view bytes) {
    std::vector<LogLine> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::wstring text = FromUtf8(line);
        const auto time = ParseUtcStamp(text);
        if (time && text.size() > 24 && text[23] == L' ') {
            LogLine parsed = ParseLogMessage(text.substr(24));
            parsed.time = *time;
            lines.push_back(std::move(parsed));
        }
        start = end + 1;
    }
    return lines;
}

std::vector<LogLine> ReadBackupLog(const BackupSettings& settings) {
    if (settings.drive_root.empty()) return {};
    const std::wstring path =
        os::JoinPath(os::JoinPath(settings.drive_root, layout::kBackupFolder), layout::kBackupLogFile);
    std::ifstream in(os::FsPath(path), std::ios::binary);
    if (!in) return {};
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseBackupLog(bytes);
}

void BackupLog::append(const BackupSettings& settings, const LogLine& entry, std::uint64_t unixTime) {
    if (settings.drive_root.empty()) return;
    const std::wstring folder = os::JoinPath(settings.drive_root, layout::kBackupFolder);
    // A line break in a reason would start a line that is no entry.
    std::wstring message = entry.message;
    for (wchar_t& c : message) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    AppendBytes(os::JoinPath(folder, layout::kBackupLogFile),
                ToUtf8(FormatUtcStamp(unixTime) + L" " + message + L"\r\n"));
}

void BackupLog::append(const BackupSettings& settings, const LogLine& entry) { append(settings, entry, UnixNow()); }

void BackupLog::appendError(std::string_view utf8Message) {
    try {
        AppendBytes(os::JoinPath(LocalDataDirectory(), layout::kErrorLogFile),
                    ErrorLogLine(UnixNow(), utf8Message));
    } catch (...) {
        // Without a local data directory the line has nowhere to go; the exit
        // code and the message box still report the failure.
    }
}

}  // namespace tesmora
