#include "remote/remote_restore.h"

#include "os/error.h"
#include "os/text.h"
#include "remote/exec_channel.h"
#include "remote/remote_command.h"
#include "resource_ids.h"

#include <libssh2.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kChunk = 1 << 18;
constexpr std::size_t kLongestAnswer = 8 << 20;
constexpr std::uint64_t kIdleLimitNs = 300ULL * 1000000000ULL;

std::uint64_t Count(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    return found != json.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

std::string RemoteRestoreCommand(std::string_view script, const RemoteRestoreRequest& request) {
    // The program takes its request where the backup program takes its
    // sources: the JSON list the command carries.
    return BuildRemoteCommand(script, {request.folder, FromUtf8(request.digest), std::to_wstring(request.archiveBytes),
                                       std::to_wstring(request.logicalBytes), std::to_wstring(request.members),
                                       request.snapshot});
}

std::string EmbeddedRestoreScript() {
    std::string script = os::LoadResourceBytes(TESMORA_RESOURCE_RESTORE_SCRIPT);
    if (script.empty()) throw Error(ErrorCode::ProgramDamaged, "Embedded restore script missing");
    return script;
}

RemoteRestoreResult RemoteRestoreOutcome(int exitStatus, const std::string& signal, std::string_view answer,
                                         const std::string& errors) {
    nlohmann::json json = nlohmann::json::parse(answer, nullptr, false);
    if (!json.is_object()) json = nlohmann::json::object();
    if (exitStatus != 0 || !signal.empty()) {
        std::string text = Trimmed(errors);
        if (!signal.empty()) text += (text.empty() ? "" : " ") + std::string("killed by signal ") + signal;
        if (json.value("kind", "") == "target") throw Error(ErrorCode::RestoreTarget, text);
        throw Error(ErrorCode::RemoteRestoreFailed, "Restore on the server failed: " + text);
    }
    if (!json.contains("report") || !json["report"].is_string()) {
        throw Error(ErrorCode::RemoteRestoreFailed, "Restore on the server failed: its answer does not parse");
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

RemoteRestoreResult RunRemoteRestore(SshConnection& connection, const std::string& command,
                                     const std::wstring& archivePath,
                                     const std::function<void(const RemoteRestoreProgress&)>& progress,
                                     const CancelToken* cancel) {
    std::ifstream archive(os::FsPath(archivePath), std::ios::binary);
    if (!archive) throw Error(ErrorCode::RestoreFailed, "Cannot read " + ToUtf8(archivePath));
    RemoteRestoreProgress state;
    archive.seekg(0, std::ios::end);
    state.total = static_cast<std::uint64_t>(archive.tellg());
    archive.seekg(0);

    LIBSSH2_SESSION* session = connection.session();
    ExecChannel channel(session);
    channel.open(command);
    libssh2_session_set_blocking(session, 0);

    const auto cancelled = [&] { return cancel != nullptr && cancel->cancelled(); };
    const auto broken = [&](const char* what) -> Error {
        if (cancelled()) return CancelledError("Restore cancelled; the server keeps no part of it");
        return Error(ErrorCode::TransferBroken, what);
    };
    std::vector<char> chunk(kChunk), buffer(65536);
    std::size_t chunkSize = 0, chunkSent = 0;
    bool sending = true, eofSent = false;
    std::string answer;
    ServerErrorStream errors;
    std::uint64_t lastActivity = os::MonotonicNanoseconds();
    const auto report = [&](const ServerProgress& server) {
        state.server = server;
        if (progress) progress(state);
    };
    for (;;) {
        if (cancelled()) throw CancelledError("Restore cancelled; the server keeps no part of it");
        bool moved = false;
        if (sending && chunkSent == chunkSize) {
            archive.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            chunkSize = static_cast<std::size_t>(archive.gcount());
            chunkSent = 0;
            if (chunkSize == 0) {
                if (!archive.eof()) throw Error(ErrorCode::RestoreFailed, "Cannot read " + ToUtf8(archivePath));
                sending = false;
            }
        }
        if (sending) {
            const ssize_t wrote = libssh2_channel_write(channel.get(), chunk.data() + chunkSent, chunkSize - chunkSent);
            if (wrote > 0) {
                chunkSent += static_cast<std::size_t>(wrote);
                state.sent += static_cast<std::uint64_t>(wrote);
                if (progress) progress(state);
                moved = true;
            } else if (wrote < 0 && wrote != LIBSSH2_ERROR_EAGAIN) {
                // The program stopped reading: it failed, and says why below.
                if (wrote == LIBSSH2_ERROR_SOCKET_SEND || wrote == LIBSSH2_ERROR_SOCKET_RECV ||
                    wrote == LIBSSH2_ERROR_SOCKET_DISCONNECT || wrote == LIBSSH2_ERROR_SOCKET_TIMEOUT) {
                    throw broken("SSH upload failed");
                }
                sending = false;
                eofSent = true;
            }
        } else if (!eofSent) {
            const int sent = libssh2_channel_send_eof(channel.get());
            if (sent == 0) eofSent = true;
            else if (sent != LIBSSH2_ERROR_EAGAIN) throw broken("SSH upload failed");
        }

        const ssize_t out = libssh2_channel_read_ex(channel.get(), 0, buffer.data(), buffer.size());
        if (out > 0) {
            if (answer.size() < kLongestAnswer) answer.append(buffer.data(), static_cast<std::size_t>(out));
            moved = true;
        } else if (out < 0 && out != LIBSSH2_ERROR_EAGAIN) {
            throw broken("SSH connection broke during the restore");
        }
        const ssize_t err = libssh2_channel_read_ex(channel.get(), SSH_EXTENDED_DATA_STDERR, buffer.data(),
                                                    buffer.size());
        if (err > 0) {
            errors.add(std::string_view(buffer.data(), static_cast<std::size_t>(err)), report);
            moved = true;
        } else if (err < 0 && err != LIBSSH2_ERROR_EAGAIN) {
            throw broken("SSH connection broke during the restore");
        }

        const std::uint64_t now = os::MonotonicNanoseconds();
        if (moved) lastActivity = now;
        if (libssh2_channel_eof(channel.get()) && !moved) break;
        if (now - lastActivity > kIdleLimitNs) throw Error(ErrorCode::TransferTimeout, "Restore transfer timeout");
        if (moved) continue;
        if (libssh2_poll_channel_read(channel.get(), 0) || libssh2_poll_channel_read(channel.get(), 1)) continue;
        const bool outbound = (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
        // A full window is opened by the server's packets: wait to read then.
        os::WaitForSocket(connection.socket(), outbound, std::chrono::milliseconds(200));
    }
    if (!channel.closeAndWait()) throw broken("Remote restore did not close cleanly");
    return RemoteRestoreOutcome(libssh2_channel_get_exit_status(channel.get()), channel.exitSignal(), answer,
                                errors.text());
}

}  // namespace tesmora
