// Name resolution: getaddrinfo has the same shape in Winsock and BSD sockets.
#include "os/os.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include "os/win/win32.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace tesmora::os {
namespace {

std::optional<std::vector<ResolvedAddress>> LookUp(const std::string& hostUtf8, const std::string& port) {
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

// One lookup's answer, shared with the thread that asks the resolver: the
// caller may stop waiting and leave, the thread ends when the resolver does.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    std::optional<std::vector<ResolvedAddress>> addresses;
};

}  // namespace

std::optional<std::vector<ResolvedAddress>> ResolveHost(const std::string& hostUtf8, const std::string& port,
                                                        std::chrono::milliseconds timeout,
                                                        const std::atomic<bool>* cancel) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, hostUtf8, port] {
        auto addresses = LookUp(hostUtf8, port);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->addresses = std::move(addresses);
        lookup->answered = true;
        lookup->done.notify_all();
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->answered) {
        if ((cancel != nullptr && cancel->load()) || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        lookup->done.wait_for(lock, std::chrono::milliseconds(100));
    }
    return std::move(lookup->addresses);
}

}  // namespace tesmora::os
