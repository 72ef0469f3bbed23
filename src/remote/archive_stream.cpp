#include "remote/archive_stream.h"

#include "archive/stream_check.h"
#include "crypto/age.h"
#include "os/error.h"
#include "os/text.h"
#include "remote/channel_pump.h"
#include "remote/launch_failure.h"
#include "remote/segment_frames.h"

#include <fstream>
#include <optional>

namespace tesmora {

Error VerificationFailure(const ArchiveDamage& damage) {
    return Error(ErrorCode::ArchiveVerificationFailed, damage.what());
}

namespace {

ArchiveDamage NoFrames(std::string_view head) {
    return ArchiveDamage(ErrorCode::FramesUnparsed, "they begin with " + HexLower(head.substr(0, 16)));
}

}  // namespace

TransferResult RemoteArchiveStream::run(SshConnection& connection, const ProgramLaunch& launch,
                                        const std::wstring& archivePath, ProgressCallback progress,
                                        const ArchiveStreamOptions& options) {
    std::ofstream archive(os::FsPath(archivePath), std::ios::binary | std::ios::trunc);
    if (!archive) throw Error(ErrorCode::CannotCreateArchive);
    os::BackgroundSha256 hash;
    std::optional<StreamCheck> check;
    if (options.checkArchive) check.emplace();

    TransferProgress state;
    TransferResult result;
    std::string head;      // the start of standard output, to quote
    bool foreign = false;  // standard output is no archive: only its start is kept
    const auto write = [&](std::string_view bytes) {
        archive.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!archive) throw Error(ErrorCode::DestinationFull);
        hash.update(bytes.data(), bytes.size());
    };
    std::optional<age::Encryptor> encryptor;
    if (!options.recipients.empty()) encryptor.emplace(options.recipients, write);
    // Lands archive bytes; false once they cannot begin an archive.
    const auto land = [&](std::string_view bytes) {
        if (encryptor) {
            encryptor->write(bytes);
        } else {
            write(bytes);
        }
        if (check) check->feed(bytes);
        state.archiveBytes += bytes.size();
        if (progress) progress(state);
        return !check || !check->failed();
    };
    std::optional<FrameReader> frames;
    if (options.previous) frames.emplace(*options.previous, land);
    // Whatever the end, the caller learns which segments are on the drive;
    // a whole run hands over the index it already built.
    struct Landed {
        std::optional<FrameReader>& frames;
        std::string* out;
        ~Landed() {
            if (out) *out = frames ? frames->index() : std::string();
        }
        void hand(const std::string& index) {
            if (out) *out = index;
            out = nullptr;
        }
    } landed{frames, options.landedIndex};
    PumpIo io;
    std::string later;
    io.input = [&, step = 0]() mutable -> std::string_view {
        switch (step++) {
            case 0: return launch.input;
            case 1:
                if (options.laterInput) later = options.laterInput();
                if (!later.empty()) return later;
                [[fallthrough]];
            default: return {};
        }
    };
    io.output = [&](std::string_view bytes) {
        const bool first = head.empty();
        if (head.size() < kOutputHeadBytes) head.append(bytes.substr(0, kOutputHeadBytes - head.size()));
        // A plain archive needs no frames, whatever was asked.
        if (first && frames && !bytes.empty() && bytes.front() == '\x1f') frames.reset();
        try {
            if (!foreign && (frames ? frames->feed(bytes) : land(bytes))) return;
        } catch (const ArchiveDamage& damage) {
            throw VerificationFailure(damage);
        }
        foreign = true;
        // No archive: the rest is not worth waiting for once it is clear
        // what came instead. A greeting and then the archive is a login
        // script's; a short text may be an account's refusal, which the
        // program's end tells.
        const bool text = StartsWithForeignText(head, ExpectedOutput::Archive);
        if (text && head.find('\x1f') != std::string::npos) throw LoginScriptOutput(head, ExpectedOutput::Archive);
        if (head.size() < kOutputHeadBytes) return;
        if (text) throw LoginScriptOutput(head, ExpectedOutput::Archive);
        if (frames && frames->notFrames()) throw VerificationFailure(NoFrames(head));
        try {
            check->finish();
        } catch (const ArchiveDamage& damage) {
            throw VerificationFailure(damage);
        }
    };
    io.progress = [&](const ServerProgress& server) {
        state.server = server;
        if (progress) progress(state);
    };
    PumpOptions pump;
    pump.clock = options.clock;
    pump.cancel = options.cancel;
    pump.idleLimitNs = options.idleLimitNs;
    pump.totalLimitNs = options.totalLimitNs;
    pump.cancelled = ErrorCode::BackupCancelled;
    const PumpResult end = PumpChannel(connection, launch.command, io, pump);
    // The last chunk says the file ends here; a run that fails is thrown
    // away whole.
    if (encryptor) encryptor->finish();
    archive.close();

    // Stand-in programs of the tests send no archive, so no text is foreign.
    if (std::optional<Error> failure = LaunchFailure(end, options.checkArchive ? head : "", ExpectedOutput::Archive)) {
        throw *failure;
    }
    // The server's own account of a failure explains it best, so it comes
    // before the verdict on the bytes. A program killed by a signal sends no
    // exit status; its archive is cut short however many bytes arrived.
    if (!archive || end.exitStatus != 0 || !end.signal.empty()) {
        std::string text = end.errors;
        const auto add = [&](const std::string& fact) {
            if (!end.errors.empty() && end.errors.back() != '\n') text += ' ';
            text += fact;
        };
        if (!end.signal.empty()) {
            add("killed by signal " + end.signal);
        } else if (end.errors.empty() && end.exitStatus != 0) {
            add("exit status " + std::to_string(end.exitStatus) + " without an error text");
        }
        throw Error(ErrorCode::RemoteBackupFailed, text);
    }
    // The disk writes while the check catches up.
    os::FlushFileToDisk(archivePath);
    // Nothing at all is an empty archive, as the check says.
    if (frames && !head.empty()) {
        if (frames->notFrames()) {
            if (StartsWithForeignText(head, ExpectedOutput::Archive)) throw LoginScriptOutput(head, ExpectedOutput::Archive);
            throw VerificationFailure(NoFrames(head));
        }
        if (!frames->ended()) throw VerificationFailure(ArchiveDamage(ErrorCode::FramesCutShort));
        result.index = frames->index();
        result.reusedBytes = frames->reusedBytes();
        landed.hand(result.index);
    }
    if (check) {
        try {
            result.summary = check->finish();
        } catch (const ArchiveDamage& damage) {
            if (StartsWithForeignText(head, ExpectedOutput::Archive)) {
                throw LoginScriptOutput(head, ExpectedOutput::Archive);
            }
            throw VerificationFailure(damage);
        }
    }
    result.digest = hash.finish();
    return result;
}

}  // namespace tesmora
