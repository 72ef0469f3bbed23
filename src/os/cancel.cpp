#include "os/cancel.h"

namespace tesmora {

void CancelToken::cancel() {
    cancelled_.store(true);
    // The socket is closed only by its owner, which takes it out of the slot first.
    const os::SocketHandle socket = socket_.load();
    if (socket != os::kInvalidSocket) os::ShutdownSocket(socket);
}

}  // namespace tesmora
