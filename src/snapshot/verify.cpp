#include "snapshot/verify.h"

#include "archive/age_source.h"
#include "os/error.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"

namespace tesmora {
namespace {

// The archive as the drive holds it, hashed as it is read.
class DeviceSource final : public ByteSource {
public:
    DeviceSource(const std::wstring& path, const ReadProgress& progress, const CancelToken* cancel)
        : file_(path), progress_(progress), cancel_(cancel) {}

    std::size_t read(char* buffer, std::size_t size) override {
        if (piece_.empty()) {
            if (cancel_ != nullptr && cancel_->cancelled()) throw CancelledError();
            piece_ = file_.next();
            hash_.update(piece_.data(), piece_.size());
            done_ += piece_.size();
            if (progress_) progress_(done_, file_.size());
        }
        const std::size_t count = std::min(size, piece_.size());
        piece_.copy(buffer, count);
        piece_.remove_prefix(count);
        return count;
    }

    // Reads what is left, so the digest covers the whole file.
    std::string digest() {
        char sink[65536];
        while (read(sink, sizeof(sink)) > 0) {
        }
        return HexLower(hash_.finish());
    }

private:
    os::UncachedFileReader file_;
    const ReadProgress& progress_;
    const CancelToken* cancel_;
    os::BackgroundSha256 hash_;
    std::string_view piece_;
    std::uint64_t done_ = 0;
};

// What another source gives, hashed and counted on the way.
class HashedSource final : public ByteSource {
public:
    explicit HashedSource(ByteSource& source) : source_(source) {}
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t got = source_.read(buffer, size);
        hash_.update(buffer, got);
        bytes_ += got;
        return got;
    }
    std::string digest() {
        char sink[65536];
        while (read(sink, sizeof(sink)) > 0) {
        }
        return HexLower(hash_.finish());
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    ByteSource& source_;
    os::Sha256 hash_;
    std::uint64_t bytes_ = 0;
};

}  // namespace

void RequireSnapshotKey(const SnapshotIni& ini, const age::Keys* keys) {
    if (!ini.encrypted()) return;
    if (keys != nullptr) {
        for (const std::string& identity : keys->identities) {
            try {
                if (age::RecipientFingerprint(age::RecipientOf(identity)) == ini.recipientFingerprint) return;
            } catch (const age::AgeError&) {
            }
        }
    }
    throw Error(ErrorCode::EncryptionKeyMissing, ini.recipientFingerprint);
}

Verdict VerifySnapshot(const std::wstring& snapshot, const std::wstring& id, const ReadProgress& progress,
                       const CancelToken* cancel, const age::Keys* keys) {
    Verdict verdict;
    const SnapshotMarkers markers = ReadSnapshotMarkers(snapshot, id);
    if (!markers.digest) {
        verdict.reason = markers.fault;
        return verdict;
    }
    RequireSnapshotKey(*markers.ini, keys);
    std::optional<DeviceSource> source;
    try {
        source.emplace(markers.archive, progress, cancel);
    } catch (const Error& e) {
        verdict.reason = std::string("the archive cannot be read: ") + e.what();
        return verdict;
    }
    std::string damage;
    try {
        try {
            if (markers.ini->encrypted()) {
                AgeSource decrypted(*source, *keys);
                HashedSource plain(decrypted);
                verdict.summary = CheckArchive(plain);
                verdict.plainDigest = plain.digest();
                verdict.plainBytes = plain.bytes();
            } else {
                verdict.summary = CheckArchive(*source);
            }
        } catch (const ArchiveDamage& e) {
            damage = e.what();
        }
        if (source->digest() != *markers.digest) {
            verdict.reason = ChecksumMismatch() + (damage.empty() ? "" : "; " + damage);
            return verdict;
        }
    } catch (const CancelledError&) {
        throw;
    } catch (const Error& e) {
        // A sector the drive can no longer read is damage like any other.
        verdict.reason = std::string("the archive cannot be read: ") + e.what();
        return verdict;
    }
    verdict.reason = damage;
    verdict.ok = damage.empty();
    return verdict;
}

LogLine VerifyLogLine(const std::wstring& name, const Verdict& verdict) {
    return LogLine::Verify(name, verdict.ok, FromUtf8(verdict.reason));
}

}  // namespace tesmora
