#include "job/previous_index.h"

#include "config/durable_file.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "remote/segment_frames.h"
#include "repository/format.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <vector>

namespace tesmora {
namespace {

// Proves each segment of index against the archive at path and adds them
// to previous, numbered on from those already there; a damaged one is sent
// again. Returns the bytes proven; adds nothing when the index or the
// archive does not read.
std::uint64_t AddSegments(nlohmann::json& index, const std::wstring& path, PreviousIndex& previous,
                          std::uint64_t& done, std::uint64_t total, const ReadProgress& progress) {
    ArchiveRanges archive(path, previous.archive.keys);
    const auto source = static_cast<std::uint32_t>(previous.archive.paths.size());
    std::vector<ReusedSegment> added;
    std::size_t damaged = 0;
    std::uint64_t proven = 0;
    for (auto& segment : index.at("segments")) {
        ReusedSegment reused{segment.at("offset").get<std::uint64_t>(), segment.at("length").get<std::uint64_t>(),
                             segment.at("sha256").get<std::string>(), source, segment.dump()};
        os::Sha256 hash;
        bool whole = true;
        try {
            archive.read(reused.offset, reused.length, [&](std::string_view piece) {
                hash.update(piece.data(), piece.size());
                done += piece.size();
                if (progress) progress(done, total);
                return true;
            });
        } catch (const std::runtime_error&) {
            whole = false;  // a file cut short or damaged: this segment is sent again
        }
        if (!whole || HexLower(hash.finish()) != reused.sha256) {
            reused.sha256.clear();
            segment["members"] = nlohmann::json::array();
            segment.erase("content");
            ++damaged;
        } else {
            proven += reused.length;
        }
        added.push_back(std::move(reused));
    }
    previous.archive.paths.push_back(path);
    previous.archive.segments.insert(previous.archive.segments.end(), added.begin(), added.end());
    previous.damaged += damaged;
    return proven;
}

std::uint64_t Length(const nlohmann::json& index) {
    std::uint64_t total = 0;
    for (const auto& segment : index.at("segments")) total += segment.at("length").get<std::uint64_t>();
    return total;
}

constexpr std::string_view kAgeMagic = "age-encryption.org/v1\n";

// The JSON of an index as it is kept, decrypted first when it is encrypted.
std::string OpenIndex(const std::string& kept, const age::Keys* keys) {
    if (kept.compare(0, kAgeMagic.size(), kAgeMagic) != 0) return InflateIndex(kept);
    if (keys == nullptr) throw std::runtime_error("no key for the encrypted index");
    std::string compressed = age::Decrypt(kept, *keys);
    std::string json = InflateIndex(compressed);
    os::WipeMemory(compressed.data(), compressed.size());
    return json;
}

// The snapshot's index, if its checksum file lists it and it opens.
std::optional<nlohmann::json> SnapshotIndex(const std::wstring& snapshot, const age::Keys* keys) {
    if (snapshot.empty()) return std::nullopt;
    const std::string sums = ReadMarkerFile(os::JoinPath(snapshot, kChecksumFile));
    const auto listed = ParseIndexChecksum(sums);
    if (!listed) return std::nullopt;
    const std::string kept = ReadMarkerFile(os::JoinPath(snapshot, IndexFileName(ChecksumNamesEncrypted(sums))));
    os::Sha256 digest;
    digest.update(kept.data(), kept.size());
    if (HexLower(digest.finish()) != *listed) return std::nullopt;
    try {
        nlohmann::json index = nlohmann::json::parse(OpenIndex(kept, keys));
        Length(index);
        return index;
    } catch (const std::exception&) {
        return std::nullopt;  // an index that does not read is as good as none
    }
}

// A cut run's index: nothing lists it, so each segment's digest is all
// that proves it.
std::optional<nlohmann::json> CutRunIndex(const std::wstring& staging, const age::Keys* keys) {
    if (staging.empty() || !os::IsRegularFile(os::JoinPath(staging, kResumeArchiveFile))) return std::nullopt;
    try {
        nlohmann::json index =
            nlohmann::json::parse(OpenIndex(ReadMarkerFile(os::JoinPath(staging, kResumeIndexFile)), keys));
        if (Length(index) == 0) return std::nullopt;
        return index;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<PreviousIndex> LoadPreviousIndex(const std::wstring& snapshot, const std::wstring& staging,
                                               const ReadProgress& progress, const age::Keys* keys) {
    std::optional<nlohmann::json> index = SnapshotIndex(snapshot, keys);
    std::optional<nlohmann::json> cut = CutRunIndex(staging, keys);
    if (!index && !cut) return std::nullopt;
    PreviousIndex previous;
    previous.archive.keys = keys;
    std::uint64_t done = 0;
    const std::uint64_t total = (index ? Length(*index) : 0) + (cut ? Length(*cut) : 0);
    if (index) {
        try {
            AddSegments(*index, ArchiveIn(snapshot), previous, done, total, progress);
        } catch (const std::exception&) {
            index.reset();
        }
    }
    nlohmann::json sent = index ? std::move(*index) : nlohmann::json::object();
    if (cut) {
        // The server numbers these on after the snapshot's, as here.
        try {
            previous.resumedBytes =
                AddSegments(*cut, os::JoinPath(staging, kResumeArchiveFile), previous, done, total, progress);
            sent["resumed"] = std::move(*cut);
        } catch (const std::exception&) {
        }
    }
    if (previous.archive.paths.empty()) return std::nullopt;
    previous.requestJson = sent.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return previous;
}

std::string SealIndex(std::string_view json, const std::vector<std::string>& recipients) {
    std::string compressed = DeflateIndex(json);
    if (recipients.empty()) return compressed;
    std::string sealed = age::Encrypt(compressed, recipients);
    os::WipeMemory(compressed.data(), compressed.size());
    return sealed;
}

void KeepCutRun(const std::wstring& staging, const std::string& landedIndex,
                const std::vector<std::string>& recipients) {
    const std::wstring archive = os::JoinPath(staging, ArchiveFileName(!recipients.empty()));
    bool any = false;
    try {
        any = !landedIndex.empty() && !nlohmann::json::parse(landedIndex).at("segments").empty();
    } catch (const std::exception&) {
    }
    if (!any || !os::IsRegularFile(archive)) return;
    ForgetCutRun(staging);
    // The index last: without it the archive is never taken for one to build on.
    const std::wstring kept = os::JoinPath(staging, kResumeArchiveFile);
    std::error_code ec;
    std::filesystem::rename(os::FsPath(archive), os::FsPath(kept), ec);
    if (ec) throw FileSystemError("rename", archive, ec);
    WriteWholeFile(os::JoinPath(staging, kResumeIndexFile), SealIndex(landedIndex, recipients));
}

void ForgetCutRun(const std::wstring& staging) {
    for (const wchar_t* name : {kResumeIndexFile, kResumeArchiveFile}) {
        const std::wstring path = os::JoinPath(staging, name);
        if (os::IsRegularFile(path)) RemoveOwnFile(path);
    }
}

}  // namespace tesmora
