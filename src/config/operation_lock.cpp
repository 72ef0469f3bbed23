#include "config/operation_lock.h"

#include "os/error.h"

namespace tesmora {

// Global: two users signed in on one PC, or one user in two sessions, share
// the drive and so the staging folder; a session-local name would let both in.
std::wstring OperationLockName(const std::wstring& bindingId) { return L"Global\\TesmoraBackup-" + bindingId; }

OperationLock AcquireOperationLock(const std::wstring& bindingId) {
    OperationLock lock = os::TryAcquireNamedLock(OperationLockName(bindingId));
    if (!lock.held()) throw Error(ErrorCode::OperationRunning);
    return lock;
}

void ReleaseOperationLock(OperationLock& lock) { lock.release(); }

}  // namespace tesmora
