// Winsock: resolving, connecting with a bounded wait, waiting and closing.
#include "os/os.h"
#include "os/win/win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace tesmora::os {

SocketHandle ConnectTcp(const ResolvedAddress& address, std::chrono::milliseconds timeout,
                        const std::atomic<bool>* cancel, std::atomic<SocketHandle>* publish) {
    SOCKET s = socket(address.family, address.socketType, address.protocol);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (publish != nullptr) publish->store(static_cast<SocketHandle>(s));
    const auto fail = [&] {
        if (publish != nullptr) publish->store(kInvalidSocket);
        closesocket(s);
        return kInvalidSocket;
    };
    if (connect(s, reinterpret_cast<const sockaddr*>(address.address.data()), static_cast<int>(address.address.size())) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        return fail();
    }
    // Waits in slices, so a cancel is seen within a tenth of a second.
    // Windows reports a refused connection in the exception set, not the
    // write set; watching both ends a refused attempt at once instead of
    // after the whole wait.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cancel != nullptr && cancel->load()) return fail();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail();
        const long slice = static_cast<long>(std::min<long long>(left.count(), 100));
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{slice / 1000, slice % 1000 * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready < 0) return fail();
        if (ready == 0) continue;
        int pending = 1;
        int length = sizeof(pending);
        if (!FD_ISSET(s, &writable) ||
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) != 0 || pending != 0) {
            return fail();
        }
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
        return static_cast<SocketHandle>(s);
    }
}

void CloseSocket(SocketHandle socket) { closesocket(static_cast<SOCKET>(socket)); }

void ShutdownSocket(SocketHandle socket) { shutdown(static_cast<SOCKET>(socket), SD_BOTH); }

void WaitForSocket(SocketHandle socket, bool alsoWritable, std::chrono::milliseconds timeout) {
    const auto s = static_cast<SOCKET>(socket);
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(s, &readable);
    if (alsoWritable) FD_SET(s, &writable);
    timeval wait{static_cast<long>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000 * 1000)};
    select(0, &readable, alsoWritable ? &writable : nullptr, nullptr, &wait);
}

}  // namespace tesmora::os
