// BSD sockets: resolving, connecting with a bounded wait, waiting and closing.
#include "os/os.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tesmora::os {
namespace {

void SetBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

SocketHandle ConnectTcp(const ResolvedAddress& address, std::chrono::milliseconds timeout,
                        const std::atomic<bool>* cancel, std::atomic<SocketHandle>* publish) {
    const int fd = socket(address.family, address.socketType | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) return kInvalidSocket;
    SetBlocking(fd, false);
    if (publish != nullptr) publish->store(fd);
    const auto fail = [&] {
        if (publish != nullptr) publish->store(kInvalidSocket);
        close(fd);
        return kInvalidSocket;
    };
    if (connect(fd, reinterpret_cast<const sockaddr*>(address.address.data()),
                static_cast<socklen_t>(address.address.size())) != 0 &&
        errno != EINPROGRESS) {
        return fail();
    }
    // Waits in slices, so a cancel is seen within a tenth of a second.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cancel != nullptr && cancel->load()) return fail();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail();
        pollfd writable{fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) return fail();
        if (ready <= 0) continue;
        int pending = 1;
        socklen_t length = sizeof(pending);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) return fail();
        SetBlocking(fd, true);
        return fd;
    }
}

void CloseSocket(SocketHandle socket) { close(static_cast<int>(socket)); }

void ShutdownSocket(SocketHandle socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

void WaitForSocket(SocketHandle socket, bool alsoWritable, std::chrono::milliseconds timeout) {
    pollfd wait{static_cast<int>(socket), static_cast<short>(POLLIN | (alsoWritable ? POLLOUT : 0)), 0};
    poll(&wait, 1, static_cast<int>(timeout.count()));
}

}  // namespace tesmora::os
