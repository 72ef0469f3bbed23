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

}  // namespace

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
        if (time && text.size() > 24 && text[23] == L' ') lines.push_back({*time, text.substr(24)});
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

void BackupLog::append(const BackupSettings& settings, std::wstring_view message) {
    if (settings.drive_root.empty()) return;
    const std::wstring folder = os::JoinPath(settings.drive_root, layout::kBackupFolder);
    std::wstring line = FormatUtcStamp(UnixNow()) + L" ";
    line += message;
    line += L"\r\n";
    AppendBytes(os::JoinPath(folder, layout::kBackupLogFile), ToUtf8(line));
}

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
