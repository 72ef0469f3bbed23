// How a server-side program reaches the server. The exec command is a short
// loader, the same for every program; the program and its request follow on
// standard input, so neither their size nor any text in them ever meets the
// remote shell, whatever shell the account has.
//
// Standard input of every run: two frames, each the decimal length of its
// bytes, a line feed and the bytes. The loader reads the first (the program,
// compressed with zlib) and runs it; the program reads the second (its
// request, one JSON value) and then whatever its own protocol sends next.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

// One word for the shell: python3 -X utf8 -c "...". Inside its double quotes
// are only letters, digits, spaces and ' ( ) , . ; : < = % [ ] { } _, which no
// shell (sh, bash, dash, zsh, ksh, mksh, ash, fish, csh, tcsh) treats
// specially there. On a python3 older than 3.7 it exits with 1 and "python3
// 3.7 or newer is needed on the server; found X.Y".
std::string_view LoaderCommand();

// "<length>" LF bytes.
std::string Frame(std::string_view bytes);

// What starts a server program: the loader, and its standard input up to the
// end of the request.
struct ProgramLaunch {
    std::string command;
    std::string input;
};
ProgramLaunch LaunchProgram(std::string_view script, std::string_view requestJson);

// ["/var/www","/etc"]: each text JSON-quoted, no spaces.
std::string JsonList(const std::vector<std::wstring>& texts);

// What the backup program is asked for: the sources, the databases named in
// the settings ("mysql:NAME", "postgresql:NAME"), whether it looks for more in
// the sites' configuration files, and what it does: "backup", "detect" (only
// the list of those databases) or "probe" (only proves it can run).
struct BackupRequest {
    enum class Mode { Backup, Detect, Probe };
    std::vector<std::wstring> paths;
    std::vector<std::wstring> databases;
    bool detectDatabases = true;
    Mode mode = Mode::Backup;
    // A backup's previous index, a JSON object ("{}" for none): the program
    // then answers in frames and sends the new archive's index.
    std::string previousIndex{};
};

// {"paths":[...],"databases":[...],"detect":true,"mode":"backup"}, and
// ,"previous":{...} before the end with a previous index
std::string RequestJson(const BackupRequest& request);

ProgramLaunch LaunchBackupProgram(std::string_view script, const BackupRequest& request);
// The same in two parts: the loader and the program, which can start before
// the request is known, and then the request's frame.
ProgramLaunch LaunchProgramAlone(std::string_view script);
std::string RequestFrame(const BackupRequest& request);

// The server-side program built into the executable. Raises "Embedded backup
// script missing".
std::string EmbeddedBackupScript();

}  // namespace tesmora
