#include "remote/remote_restore.h"

#include "archive/archive_reader.h"
#include "os/error.h"
#include "os/text.h"
#include "remote/launch_failure.h"
#include "remote/remote_command.h"
#include "resource_ids.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kChunk = 1 << 18;
constexpr std::size_t kLongestAnswer = 8 << 20;

std::uint64_t Count(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    return found != json.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

ProgramLaunch RemoteRestoreLaunch(std::string_view script, const RemoteRestoreRequest& request) {
    return LaunchProgram(script, JsonList({request.folder, FromUtf8(request.digest),
                                           std::to_wstring(request.archiveBytes), std::to_wstring(request.logicalBytes),
                                           std::to_wstring(request.members), request.snapshot}));
}

std::string EmbeddedRestoreScript() {
    std::string script = os::LoadResourceBytes(TESMORA_RESOURCE_RESTORE_SCRIPT);
    if (script.empty()) throw Error(ErrorCode::RestoreScriptMissing);
    return script;
}

RemoteRestoreResult RemoteRestoreOutcome(const PumpResult& end, std::string_view answer) {
    if (std::optional<Error> failure = LaunchFailure(end, answer, ExpectedOutput::Answer)) {
        // A greeting ahead of a restore that went through costs nothing: the
        // answer follows it.
        if (failure->kind() != ErrorKind::LoginScriptOutput || answer.find('{') == std::string_view::npos) {
            throw *failure;
        }
        answer.remove_prefix(answer.find('{'));
    }
    nlohmann::json json = nlohmann::json::parse(answer, nullptr, false);
    if (!json.is_object()) json = nlohmann::json::object();
    if (end.exitStatus != 0 || !end.signal.empty()) {
        std::string text = Trimmed(end.errors);
        if (!end.signal.empty()) text.append(text.empty() ? "" : " ").append("killed by signal ").append(end.signal);
        if (text.empty()) text = "exit status " + std::to_string(end.exitStatus) + " without an error text";
        if (json.value("kind", "") == "target") throw Error(ErrorCode::ServerRefusedRestoreFolder, text);
        throw Error(ErrorCode::RemoteRestoreFailed, text);
    }
    if (!json.contains("report") || !json["report"].is_string()) {
        throw Error(ErrorCode::RemoteRestoreAnswerUnparsed);
    }
    RemoteRestoreResult result;
    result.files = Count(json, "files");
    result.bytes = Count(json, "bytes");
    result.directories = Count(json, "directories");
    result.symlinks = Count(json, "symlinks");
    result.hardlinks = Count(json, "hardlinks");
    result.refused = Count(json, "refused");
    result.root = json.value("root", false);
    result.login = FromUtf8(json.value("login", ""));
    result.report = FromUtf8(json["report"].get<std::string>());
    return result;
}

std::wstring RemoteRestoreSummary(const RemoteRestoreResult& result) {
    return L"Восстановлено на сервере: " + std::to_wstring(result.files) + L" файлов, " +
           std::to_wstring(result.bytes >> 20) + L" МиБ; папок " + std::to_wstring(result.directories) +
           L", ссылок " + std::to_wstring(result.symlinks) + L", жёстких ссылок " +
           std::to_wstring(result.hardlinks) + L"; отказано " + std::to_wstring(result.refused);
}

RemoteRestoreResult RunRemoteRestore(SshConnection& connection, const ProgramLaunch& launch,
                                     const std::wstring& archivePath,
                                     const std::function<void(const RemoteRestoreProgress&)>& progress,
                                     PumpOptions options, const age::Keys* keys) {
    std::ifstream archive(os::FsPath(archivePath), std::ios::binary);
    if (!archive) throw Error(ErrorCode::RestoreCannotRead, ToUtf8(archivePath));
    RemoteRestoreProgress state;
    archive.seekg(0, std::ios::end);
    state.total = static_cast<std::uint64_t>(archive.tellg());
    archive.seekg(0);

    std::vector<char> chunk(kChunk);
    bool launched = false;
    const auto readChunk = [&]() -> std::string_view {
        archive.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(archive.gcount());
        if (got == 0 && !archive.eof()) throw Error(ErrorCode::RestoreCannotRead, ToUtf8(archivePath));
        return std::string_view(chunk.data(), got);
    };
    // An encrypted archive goes out as proven plaintext, chunk by chunk.
    std::string plain, outgoing;
    std::optional<age::Decryptor> decryptor;
    if (keys != nullptr) decryptor.emplace(*keys, [&](std::string_view bytes) { plain.append(bytes); });
    bool ended = false;
    const auto readPlain = [&]() -> std::string_view {
        while (plain.empty() && !ended) {
            const std::string_view bytes = readChunk();
            try {
                if (bytes.empty()) {
                    decryptor->finish();
                    ended = true;
                } else {
                    decryptor->feed(bytes);
                }
            } catch (const age::AgeError& e) {
                throw ArchiveDamage(ErrorCode::EncryptedArchiveUnopened, e.what());
            }
        }
        outgoing.swap(plain);
        plain.clear();
        return outgoing;
    };
    PumpIo io;
    // The request first, then the archive to its end.
    io.input = [&]() -> std::string_view {
        if (!launched) {
            launched = true;
            return launch.input;
        }
        return decryptor ? readPlain() : readChunk();
    };
    std::string answer;
    io.output = [&](std::string_view bytes) {
        if (answer.size() < kLongestAnswer) answer.append(bytes);
    };
    io.progress = [&](const ServerProgress& server) {
        state.server = server;
        if (progress) progress(state);
    };
    io.sent = [&](std::uint64_t sent) {
        state.sent = sent > launch.input.size() ? sent - launch.input.size() : 0;
        if (progress) progress(state);
    };
    options.cancelled = ErrorCode::RemoteRestoreCancelled;
    options.timedOut = ErrorCode::RestoreTransferTimeout;
    options.readFailed = ErrorCode::RestoreConnectionBroke;
    options.closeFailed = ErrorCode::RemoteRestoreNotClosed;
    const PumpResult end = PumpChannel(connection, launch.command, io, options);
    return RemoteRestoreOutcome(end, answer);
}

}  // namespace tesmora
