// Ownership of the os layer's handles, the same in both twins: move-only, and
// released exactly once, by whoever holds the handle last.
#include "os/os.h"

#include <utility>

namespace tesmora::os {

NamedLock::NamedLock(NamedLock&& other) noexcept : handle_(std::exchange(other.handle_, kEmpty)) {}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, kEmpty);
    }
    return *this;
}

NamedLock::~NamedLock() { release(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : handle_(std::exchange(other.handle_, kEmpty)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        handle_ = std::exchange(other.handle_, kEmpty);
    }
    return *this;
}

ChildProcess::~ChildProcess() { kill(); }

}  // namespace tesmora::os
