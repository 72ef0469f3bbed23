#include "job/server_program.h"

#include "os/error.h"
#include "os/text.h"
#include "remote/launch_failure.h"

#include <nlohmann/json.hpp>

namespace tesmora {
namespace {

constexpr std::size_t kLongestAnswer = 4 << 20;

struct Run {
    PumpResult end;
    std::string answer;
};

Run RunProgram(SshConnection& connection, const ProgramLaunch& launch,
               const std::function<void(const ServerProgress&)>& progress, const CancelToken* cancel) {
    Run run;
    PumpIo io;
    io.input = InputOnce(launch.input);
    io.output = [&](std::string_view bytes) {
        if (run.answer.size() < kLongestAnswer) run.answer.append(bytes);
    };
    io.progress = progress;
    PumpOptions options;
    options.cancel = cancel;
    options.timedOut = ErrorCode::ServerProgramNoAnswer;
    options.readFailed = ErrorCode::CommandOutputUnreadable;
    options.closeFailed = ErrorCode::CommandOutputUnreadable;
    run.end = PumpChannel(connection, launch.command, io, options);
    return run;
}

// The program's answer as JSON, once its end is no failure.
nlohmann::json Answer(const PumpResult& end, std::string_view answer, ErrorCode unparsed) {
    if (std::optional<Error> failure = LaunchFailure(end, answer, ExpectedOutput::Answer)) throw *failure;
    if (end.exitStatus != 0 || !end.signal.empty()) {
        std::string text = end.errors.substr(0, end.errors.find_last_not_of("\r\n") + 1);
        if (!end.signal.empty()) text.append(text.empty() ? "" : " ").append("killed by signal ").append(end.signal);
        if (text.empty()) text = "exit status " + std::to_string(end.exitStatus) + " without an error text";
        throw Error(ErrorCode::RemoteBackupFailed, text);
    }
    nlohmann::json json = nlohmann::json::parse(answer, nullptr, false);
    if (!json.is_object()) throw Error(unparsed);
    return json;
}

}  // namespace

BackupRequest RequestFor(const BackupSettings& settings, BackupRequest::Mode mode) {
    return {settings.paths, settings.databases, settings.detectDatabases, mode};
}

ProbeResult ParseProbeAnswer(const PumpResult& end, std::string_view answer) {
    const nlohmann::json json = Answer(end, answer, ErrorCode::ProbeAnswerUnparsed);
    if (json.value("probe", "") != "ok") throw Error(ErrorCode::ProbeAnswerUnparsed);
    return {json.value("python", "")};
}

ProbeResult ProbeServer(SshConnection& connection, const BackupSettings& settings, const CancelToken* cancel,
                        std::string_view script) {
    const std::string program = script.empty() ? EmbeddedBackupScript() : std::string(script);
    const Run run = RunProgram(connection, LaunchBackupProgram(program, RequestFor(settings, BackupRequest::Mode::Probe)),
                               {}, cancel);
    return ParseProbeAnswer(run.end, run.answer);
}

DetectedDatabases ParseDetectedDatabases(const PumpResult& end, std::string_view answer) {
    const nlohmann::json json = Answer(end, answer, ErrorCode::DatabaseListUnparsed);
    DetectedDatabases detected;
    try {
        for (const auto& item : json.at("databases")) {
            const std::string engine = item.at("engine").get<std::string>();
            detected.databases.push_back(FromUtf8((engine == "mysql" ? "MySQL/MariaDB " : "PostgreSQL ") +
                                                  item.at("database").get<std::string>() + " (" +
                                                  item.at("found_in").get<std::string>() + ")"));
        }
        for (const auto& warning : json.at("warnings")) detected.warnings.push_back(FromUtf8(warning.get<std::string>()));
    } catch (const nlohmann::json::exception&) {
        throw Error(ErrorCode::DatabaseListUnparsed);
    }
    return detected;
}

DetectedDatabases DetectDatabases(SshConnection& connection, const BackupSettings& settings,
                                  const std::function<void(const ServerProgress&)>& progress,
                                  const CancelToken* cancel) {
    const Run run = RunProgram(
        connection, LaunchBackupProgram(EmbeddedBackupScript(), RequestFor(settings, BackupRequest::Mode::Detect)),
        progress, cancel);
    return ParseDetectedDatabases(run.end, run.answer);
}

std::wstring DetectedDatabasesText(const DetectedDatabases& detected) {
    std::wstring text = detected.databases.empty() ? L"Баз данных MySQL/MariaDB и PostgreSQL не найдено."
                                                   : L"В копию войдут базы данных:";
    for (const auto& line : detected.databases) text += L"\r\n  " + line;
    for (const auto& line : detected.warnings) text += L"\r\nПредупреждение: " + line;
    return text;
}

}  // namespace tesmora
