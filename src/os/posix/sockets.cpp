// BSD sockets: resolving, connecting with a bounded wait, waiting and closing.
#include "os/os.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tesmora::os {
namespace {

void SetBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

SocketHandle ConnectTcp(const ResolvedAddress& address, std::chrono::milliseconds timeout) {
    const int fd = socket(address.family, address.socketType | SOCK_CLOEXEC, address.protocol);
    if (fd < 0) return kInvalidSocket;
    SetBlocking(fd, false);
    if (connect(fd, reinterpret_cast<const sockaddr*>(address.address.data()),
                static_cast<socklen_t>(address.address.size())) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return kInvalidSocket;
    }
    pollfd writable{fd, POLLOUT, 0};
    int pending = 1;
    socklen_t length = sizeof(pending);
    if (poll(&writable, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0) {
        SetBlocking(fd, true);
        return fd;
    }
    close(fd);
    return kInvalidSocket;
}

void CloseSocket(SocketHandle socket) { close(static_cast<int>(socket)); }

void ShutdownSocket(SocketHandle socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

void WaitForSocket(SocketHandle socket, bool alsoWritable, std::chrono::milliseconds timeout) {
    pollfd wait{static_cast<int>(socket), static_cast<short>(POLLIN | (alsoWritable ? POLLOUT : 0)), 0};
    poll(&wait, 1, static_cast<int>(timeout.count()));
}

}  // namespace tesmora::os
