// A cancel request, passed down from whoever may ask for it (a window's
// Cancel button) to the work that listens: loops poll it, and the socket of a
// connection in use is shut down at once so a blocked call returns.
#pragma once

#include "os/os.h"

#include <atomic>

namespace tesmora {

class CancelToken {
public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Asks for the cancel; safe from any thread.
    void cancel();
    // Clears the request before the next operation starts.
    void reset() { cancelled_.store(false); }
    bool cancelled() const { return cancelled_.load(); }

    // The flag the system layer's waits poll.
    const std::atomic<bool>* flag() const { return &cancelled_; }
    // Where a connection publishes its socket while it is in use.
    std::atomic<os::SocketHandle>& socketSlot() const { return socket_; }

private:
    std::atomic<bool> cancelled_{false};
    mutable std::atomic<os::SocketHandle> socket_{os::kInvalidSocket};
};

}  // namespace tesmora
