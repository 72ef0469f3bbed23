#include "config/backup_log.h"

#include "app/local_data.h"
#include "config/layout.h"
#include "os/text.h"
#include "config/time_stamp.h"
#include "os/os.h"

#include <fstream>

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
        AppendBytes(os::JoinPath(app::LocalDataDirectory(), layout::kErrorLogFile),
                    ErrorLogLine(UnixNow(), utf8Message));
    } catch (...) {
        // Without a local data directory the line has nowhere to go; the exit
        // code and the message box still report the failure.
    }
}

}  // namespace tesmora
