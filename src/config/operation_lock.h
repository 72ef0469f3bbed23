// At most one backup run or settings save per bound drive at a time, across
// every process of every logon session on the PC. Tried once, never waited for.
#pragma once

#include "os/os.h"

#include <string>

namespace tesmora {

// A held lock; released when it goes out of scope, on every path.
using OperationLock = os::NamedLock;

// "Global\TesmoraBackup-" followed by the binding id.
std::wstring OperationLockName(const std::wstring& bindingId);

// Raises "A backup/settings operation is already running" when another holder
// has the lock or it cannot be created. An abandoned lock is taken over.
OperationLock AcquireOperationLock(const std::wstring& bindingId);

void ReleaseOperationLock(OperationLock& lock);

}  // namespace tesmora
