// The operation lock in the native build: an exclusive flock on a file named
// after the lock. The kernel drops it when its holder dies, as Windows hands
// an abandoned mutex to the next taker.
#include "os/text.h"
#include "os/os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace tesmora::os {
namespace {

std::string LockFilePath(const std::wstring& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
    // Readable characters stay for whoever looks at the folder; the hash keeps
    // names apart that differ only in replaced characters.
    std::string readable;
    std::uint64_t hash = 1469598103934665603ULL;
    for (char c : ToUtf8(name)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (readable.size() < 100) readable.push_back(plain ? c : '_');
    }
    const std::string digest = HexLower(std::string(reinterpret_cast<const char*>(&hash), sizeof(hash)));
    return folder + "/tesmora-" + std::to_string(getuid()) + "-" + readable + "-" + digest + ".lock";
}

}  // namespace

void NamedLock::release() {
    if (handle_ == kEmpty) return;
    const int fd = static_cast<int>(std::exchange(handle_, kEmpty));
    flock(fd, LOCK_UN);
    close(fd);
}

NamedLock TryAcquireNamedLock(const std::wstring& name) {
    const int fd = open(LockFilePath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return NamedLock();
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return NamedLock();
    }
    return NamedLock(fd);
}

}  // namespace tesmora::os
