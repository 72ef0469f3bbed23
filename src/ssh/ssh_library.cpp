#include "ssh/ssh_library.h"

#include <libssh2.h>

namespace tesmora::ssh {

// A failed initialisation shows later as a failed session with its own message.
SshLibrary::SshLibrary() { libssh2_init(0); }

SshLibrary::~SshLibrary() { libssh2_exit(); }

}  // namespace tesmora::ssh
