#include "ui/form.h"

#include "config/ini_file.h"
#include "device/binding.h"
#include "os/error.h"

namespace tesmora::ui {
namespace {

std::wstring Trim(const std::wstring& text) {
    const wchar_t* blanks = L" \r\n\t";
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::wstring::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

std::int32_t Low32(std::uint64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }

}  // namespace

std::wstring DriveLineText(const DriveInfo& d) {
    const size_t volume = d.identity.find(L"/VOL-");
    const std::wstring identity =
        IsPlaceholderSerial(d.identity)
            ? L"том " + (volume == std::wstring::npos ? std::wstring() : d.identity.substr(volume + 5))
            : L"S/N " + d.identity.substr(0, volume);
    return d.root + L"  " + (d.label.empty() ? std::wstring(L"Без названия") : d.label) + L" | " +
           std::to_wstring(d.total_bytes >> 30) + L" ГиБ, " + d.file_system + L" | свободно " +
           std::to_wstring(d.free_bytes >> 30) + L" ГиБ | " + identity;
}

int PreselectedDrive(const std::vector<DriveInfo>& drives, const std::wstring& device) {
    if (drives.empty()) return -1;
    int selected = 0;
    for (size_t i = 0; i < drives.size(); ++i) {
        if (drives[i].identity == device) selected = static_cast<int>(i);
    }
    return selected;
}

namespace {

// The box's lines, trimmed, without empty ones.
std::vector<std::wstring> Lines(const std::wstring& box) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= box.size()) {
        const size_t end = box.find(L'\n', start);
        const std::wstring piece = Trim(box.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (!piece.empty()) lines.push_back(piece);
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace

BackupSettings ReadForm(const BackupSettings& current, const std::vector<DriveInfo>& drives, const FormFields& form) {
    BackupSettings s = current;
    if (form.selection < 0 || static_cast<size_t>(form.selection) >= drives.size()) {
        throw Error(ErrorCode::NoDriveSelected);
    }
    s.drive_root = drives[static_cast<size_t>(form.selection)].root;
    s.device = drives[static_cast<size_t>(form.selection)].identity;
    if (s.id.empty()) s.id = NewBindingId();
    s.host = Trim(form.host);
    s.port = Low32(ParseUnsignedOr(form.port, 0));
    s.user = Trim(form.user);
    s.fingerprint = Trim(form.fingerprint);
    s.paths = Lines(form.paths);
    s.databases = Lines(form.databases);
    s.detectDatabases = form.detectDatabases;
    s.hours = Low32(ParseUnsignedOr(form.hours, 0));
    s.keep = Low32(ParseUnsignedOr(form.keep, 0));
    s.keepDaily = Low32(ParseUnsignedOr(form.keepDaily, 0));
    s.keepWeekly = Low32(ParseUnsignedOr(form.keepWeekly, 0));
    s.keepMonthly = Low32(ParseUnsignedOr(form.keepMonthly, 0));
    s.keepYearly = Low32(ParseUnsignedOr(form.keepYearly, 0));
    const bool named = s.keep != 0 || s.keepDaily != 0 || s.keepWeekly != 0 || s.keepMonthly != 0 || s.keepYearly != 0;
    s.fitHistory = !named && (current.device.empty() || current.fitHistory);
    s.automatic = form.automatic;
    return s;
}

std::wstring PathsBoxText(const std::vector<std::wstring>& paths) {
    std::wstring text;
    for (const auto& path : paths) text += path + L"\r\n";
    return text;
}

void BusyFlag::requireIdle() const {
    if (busy()) throw Error(ErrorCode::WaitForOperation);
}

}  // namespace tesmora::ui
