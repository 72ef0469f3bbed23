// Finding the bound drive again, whatever its letter: its identity must equal
// the settings' `device` and its device.ini must hold the settings' `id`.
#pragma once

#include "device/drives.h"

#include <string>
#include <vector>

namespace tesmora {

// The root of the one drive that qualifies, or empty when none does. Raises
// "Ambiguous device identity; reconnect only the intended drive" when two do.
std::wstring ResolveBoundDrive(const std::wstring& device, const std::wstring& id);
std::wstring ResolveBoundDrive(const std::vector<DriveInfo>& drives, const std::wstring& device,
                               const std::wstring& id);

// A new binding id: a GUID text of 36 characters, upper-case, without braces.
std::wstring NewBindingId();

// <root>\Tesmora_Site_Backup\device.ini
std::wstring DeviceFilePath(const std::wstring& root);

}  // namespace tesmora
