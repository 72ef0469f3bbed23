// Name resolution: getaddrinfo has the same shape in Winsock and BSD sockets.
#include "os/os.h"

#ifdef _WIN32
#include "os/win/win32.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace tesmora::os {

std::optional<std::vector<ResolvedAddress>> ResolveHost(const std::string& hostUtf8, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(hostUtf8.c_str(), port.c_str(), &hints, &results) != 0) return std::nullopt;
    std::vector<ResolvedAddress> addresses;
    for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
        addresses.push_back(ResolvedAddress{r->ai_family, r->ai_socktype, r->ai_protocol,
                                            std::string(reinterpret_cast<const char*>(r->ai_addr), r->ai_addrlen)});
    }
    freeaddrinfo(results);
    return addresses;
}

}  // namespace tesmora::os
