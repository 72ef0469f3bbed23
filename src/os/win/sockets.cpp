// Winsock: resolving, connecting with a bounded wait, waiting and closing.
#include "os/os.h"
#include "os/win/win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace tesmora::os {

SocketHandle ConnectTcp(const ResolvedAddress& address, std::chrono::milliseconds timeout) {
    SOCKET s = socket(address.family, address.socketType, address.protocol);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, reinterpret_cast<const sockaddr*>(address.address.data()), static_cast<int>(address.address.size())) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        closesocket(s);
        return kInvalidSocket;
    }
    // Windows reports a refused connection in the exception set, not the
    // write set; watching both ends a refused attempt at once instead of
    // after the whole wait.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{static_cast<long>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000 * 1000)};
    int pending = 1;
    int length = sizeof(pending);
    if (select(0, nullptr, &writable, &failed, &wait) == 1 && FD_ISSET(s, &writable) &&
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) == 0 && pending == 0) {
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
        return static_cast<SocketHandle>(s);
    }
    closesocket(s);
    return kInvalidSocket;
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
