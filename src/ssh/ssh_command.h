// A short command on the server whose whole output fits in memory, for the
// small jobs around the backup (such as adding the program's key).
#pragma once

#include "ssh/ssh_connection.h"

#include <string>

namespace tesmora {

struct CommandResult {
    int exitStatus = -1;
    std::string output;  // standard output, then standard error; at most 64 KiB
};

// Runs `command` through the login shell of a logged-in connection and waits
// for its end. Raises "SSH channel could not open" when the server refuses.
CommandResult RunShortCommand(SshConnection& connection, const std::string& command);

}  // namespace tesmora
