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

UncachedFileReader::UncachedFileReader(UncachedFileReader&& other) noexcept
    : handle_(std::exchange(other.handle_, kEmpty)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      size_(other.size_),
      path_(std::move(other.path_)) {}

UncachedFileReader& UncachedFileReader::operator=(UncachedFileReader&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kEmpty);
        buffer_ = std::exchange(other.buffer_, nullptr);
        size_ = other.size_;
        path_ = std::move(other.path_);
    }
    return *this;
}

UncachedFileReader::~UncachedFileReader() { close(); }

}  // namespace tesmora::os
