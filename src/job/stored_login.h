// The server and the login of a backup's settings: the stored key first, then
// the stored password, each read from the user's credential store only when
// the connection asks for it.
#pragma once

#include "config/backup_log.h"
#include "config/settings.h"
#include "ssh/ssh_connection.h"

namespace tesmora {

SshEndpoint EndpointOf(const BackupSettings& settings);
SshLogin StoredLogin(const BackupSettings& settings);

// The backup.log line that tells how a connection logged in: "LOGIN key",
// "LOGIN password", "LOGIN keyboard-interactive", with "; key refused" when
// the server refused the stored key first.
LogLine LoginLine(const SshConnection& connection);

}  // namespace tesmora
