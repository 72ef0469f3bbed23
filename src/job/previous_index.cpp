#include "job/previous_index.h"

#include "os/os.h"
#include "os/text.h"
#include "repository/format.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace tesmora {

std::string InflateIndex(std::string_view compressed) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) throw std::runtime_error("inflateInit");
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        char buffer[1 << 16];
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) throw std::runtime_error("the index does not inflate");
    return out;
}

std::optional<PreviousIndex> LoadPreviousIndex(const std::wstring& snapshot, const ReadProgress& progress) {
    const auto listed = ParseIndexChecksum(ReadMarkerFile(os::JoinPath(snapshot, kChecksumFile)));
    if (!listed) return std::nullopt;
    const std::string compressed = ReadMarkerFile(os::JoinPath(snapshot, kIndexFile));
    os::Sha256 digest;
    digest.update(compressed.data(), compressed.size());
    if (HexLower(digest.finish()) != *listed) return std::nullopt;

    PreviousIndex previous;
    previous.archive.path = os::JoinPath(snapshot, kArchiveFile);
    nlohmann::json index;
    try {
        index = nlohmann::json::parse(InflateIndex(compressed));
        std::ifstream archive(os::FsPath(previous.archive.path), std::ios::binary);
        if (!archive) return std::nullopt;
        std::uint64_t done = 0, total = 0;
        for (const auto& segment : index.at("segments")) total += segment.at("length").get<std::uint64_t>();
        std::string piece;
        for (auto& segment : index.at("segments")) {
            ReusedSegment reused{segment.at("offset").get<std::uint64_t>(), segment.at("length").get<std::uint64_t>(),
                                 segment.at("sha256").get<std::string>()};
            os::Sha256 hash;
            archive.clear();
            archive.seekg(static_cast<std::streamoff>(reused.offset));
            for (std::uint64_t left = reused.length; left > 0 && archive;) {
                piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20)));
                archive.read(piece.data(), static_cast<std::streamsize>(piece.size()));
                hash.update(piece.data(), static_cast<std::size_t>(archive.gcount()));
                left -= piece.size();
                done += piece.size();
                if (progress) progress(done, total);
            }
            if (!archive || HexLower(hash.finish()) != reused.sha256) {
                reused.sha256.clear();
                segment["members"] = nlohmann::json::array();
                ++previous.damaged;
            }
            previous.archive.segments.push_back(std::move(reused));
        }
    } catch (const std::exception&) {
        return std::nullopt;  // an index that does not read is as good as none
    }
    previous.requestJson = index.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return previous;
}

}  // namespace tesmora
