// The backup program's short runs on the server: the probe that proves a
// backup can run there, and the list of databases a backup would dump.
#pragma once

#include "config/settings.h"
#include "os/cancel.h"
#include "remote/channel_pump.h"
#include "remote/remote_command.h"
#include "ssh/ssh_connection.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

// What the backup program is asked for: the settings' paths and databases.
BackupRequest RequestFor(const BackupSettings& settings, BackupRequest::Mode mode = BackupRequest::Mode::Backup);

// What the probe found: the server's python3 version ("3.11.2").
struct ProbeResult {
    std::string python;
};

// Its end and answer (standard output) as the result, or the error a backup
// would meet there.
ProbeResult ParseProbeAnswer(const PumpResult& end, std::string_view answer);

// Runs the backup program in probe mode on a logged-in connection: the exec
// request works, python3 is 3.7 or newer, no login script prints ahead of
// the program, the program runs and the sources exist. Raises what a backup
// would raise there.
ProbeResult ProbeServer(SshConnection& connection, const BackupSettings& settings, const CancelToken* cancel = nullptr,
                        std::string_view script = {});

// The databases a backup would dump, as the detect mode lists them: "MySQL/MariaDB
// shop (/var/www/shop/.env)", and the configuration files it could not read.
struct DetectedDatabases {
    std::vector<std::wstring> databases, warnings;
};

DetectedDatabases ParseDetectedDatabases(const PumpResult& end, std::string_view answer);

// Runs the backup program in detect mode. It walks the sources to find the
// sites' configuration files, so it reports its progress as a backup does.
DetectedDatabases DetectDatabases(SshConnection& connection, const BackupSettings& settings,
                                  const std::function<void(const ServerProgress&)>& progress = {},
                                  const CancelToken* cancel = nullptr);

// The status box's lines for them, in Russian.
std::wstring DetectedDatabasesText(const DetectedDatabases& detected);

}  // namespace tesmora
