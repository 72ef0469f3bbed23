#include "app/operation_lock.h"

#include "os/error.h"

namespace tesmora::app {

std::wstring OperationLockName(const std::wstring& bindingId) { return L"Local\\TesmoraBackup-" + bindingId; }

OperationLock AcquireOperationLock(const std::wstring& bindingId) {
    OperationLock lock = os::TryAcquireNamedLock(OperationLockName(bindingId));
    if (!lock.held()) throw Error("A backup/settings operation is already running");
    return lock;
}

void ReleaseOperationLock(OperationLock& lock) { lock.release(); }

}  // namespace tesmora::app
