// The operation lock on Windows: a named mutex, tried once and never waited for.
#include "os/os.h"
#include "os/win/win32.h"

#include <utility>

namespace tesmora::os {

void NamedLock::release() {
    if (handle_ == kEmpty) return;
    HANDLE mutex = reinterpret_cast<HANDLE>(std::exchange(handle_, kEmpty));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

NamedLock TryAcquireNamedLock(const std::wstring& name) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return NamedLock();
    const DWORD wait = WaitForSingleObject(mutex, 0);
    // An abandoned mutex (its owner died holding it) is simply taken over.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        return NamedLock(reinterpret_cast<std::intptr_t>(mutex));
    }
    CloseHandle(mutex);
    return NamedLock();
}

}  // namespace tesmora::os
