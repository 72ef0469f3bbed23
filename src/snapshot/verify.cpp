#include "snapshot/verify.h"

#include "job/staging.h"
#include "os/os.h"
#include "os/text.h"

namespace tesmora {
namespace {

// The archive as the drive holds it, hashed as it is read.
class DeviceSource final : public ByteSource {
public:
    DeviceSource(const std::wstring& path, const ReadProgress& progress, const CancelFlag* cancel)
        : file_(path), progress_(progress), cancel_(cancel) {}

    std::size_t read(char* buffer, std::size_t size) override {
        if (piece_.empty()) {
            if (cancel_ != nullptr && cancel_->load()) throw CancelledError();
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
    const CancelFlag* cancel_;
    os::Sha256 hash_;
    std::string_view piece_;
    std::uint64_t done_ = 0;
};

bool IsChecksumLine(const std::string& line) {
    return line.size() == 78 && line.find_first_not_of("0123456789abcdef") == 64 &&
           line.compare(64, 14, "  site.tar.gz\n") == 0;
}

}  // namespace

Verdict VerifySnapshot(const std::wstring& snapshot, const std::wstring& id, const ReadProgress& progress,
                       const CancelFlag* cancel) {
    Verdict verdict;
    const auto marker = [&](const wchar_t* name) { return ReadMarkerFile(os::JoinPath(snapshot, name)); };
    if (id.empty() || marker(L"COMPLETE") != ToUtf8(id)) {
        verdict.reason = "COMPLETE does not hold this configuration's id";
        return verdict;
    }
    const auto ini = ParseSnapshotIni(marker(L"snapshot.ini"));
    if (!ini || ini->config != id) {
        verdict.reason = "snapshot.ini is missing or does not parse";
        return verdict;
    }
    const std::string sums = marker(L"SHA256SUMS.txt");
    if (!IsChecksumLine(sums)) {
        verdict.reason = "SHA256SUMS.txt does not hold its one line";
        return verdict;
    }
    std::optional<DeviceSource> source;
    try {
        source.emplace(os::JoinPath(snapshot, L"site.tar.gz"), progress, cancel);
    } catch (const Error& e) {
        verdict.reason = std::string("the archive cannot be read: ") + e.what();
        return verdict;
    }
    std::string damage;
    try {
        try {
            verdict.summary = CheckArchive(*source);
        } catch (const ArchiveDamage& e) {
            damage = e.what();
        }
        if (source->digest() != sums.substr(0, 64)) {
            verdict.reason = "the archive's SHA-256 differs from SHA256SUMS.txt" + (damage.empty() ? "" : "; " + damage);
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

std::wstring VerifyLogLine(const std::wstring& name, const Verdict& verdict) {
    return L"VERIFY " + name + (verdict.ok ? L" OK" : L" FAILED " + FromUtf8(verdict.reason));
}

}  // namespace tesmora
