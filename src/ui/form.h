// The settings window's decisions, kept free of the window so they can be
// tested anywhere: the drive line, the preselection, reading the form, and the
// busy rule of the single worker.
#pragma once

#include "config/settings.h"
#include "device/drives.h"

#include <atomic>
#include <string>
#include <vector>

namespace tesmora::ui {

// "F:\  BACKUP | 58 ГиБ, exFAT | свободно 41 ГиБ | S/N 0123456789ABCDEF"
std::wstring DriveLineText(const DriveInfo& drive);

// The line to preselect: the last drive whose identity is the settings'
// device, else the first; -1 for an empty list.
int PreselectedDrive(const std::vector<DriveInfo>& drives, const std::wstring& device);

// What the form's controls hold, as text.
struct FormFields {
    int selection = -1;  // the drive list's current line
    std::wstring host, port, user, fingerprint, paths, hours, keep;
    std::wstring keepDaily, keepWeekly, keepMonthly, keepYearly;
    std::wstring databases;  // "mysql:NAME" or "postgresql:NAME", one per line
    bool automatic = false;
    bool detectDatabases = true;
};

// The settings the form describes, starting from `current` so fields the form
// does not show keep their values. Raises "Select a mounted drive". A new
// configuration that names no retention has its history fitted to the drive
// after its first run.
BackupSettings ReadForm(const BackupSettings& current, const std::vector<DriveInfo>& drives, const FormFields& form);

// The text of the paths box (and of the databases box): each line followed by CR LF.
std::wstring PathsBoxText(const std::vector<std::wstring>& paths);

// At most one worker operation at a time.
class BusyFlag {
public:
    // True when the caller may start: the flag was clear and is now set.
    bool tryStart() { return !busy_.exchange(true); }
    void finish() { busy_.store(false); }
    bool busy() const { return busy_.load(); }

    // Raises "Wait for the active operation" while an operation runs.
    void requireIdle() const;

private:
    std::atomic<bool> busy_{false};
};

}  // namespace tesmora::ui
