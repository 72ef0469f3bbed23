#include "remote/segment_frames.h"

#include "archive/archive_reader.h"
#include "os/os.h"
#include "os/text.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace tesmora {
namespace {

constexpr std::size_t kFrameHeader = 5;
constexpr std::uint32_t kLargestEntry = 64u << 20;

ArchiveDamage Unparsed(const std::string& why) { return ArchiveDamage(ErrorCode::FramesUnparsed, why); }

}  // namespace

// Level 1: a site's index is read once per run, and its deflate is part of
// the wait before each commit.
std::string DeflateIndex(std::string_view json) {
    uLongf size = compressBound(static_cast<uLong>(json.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(json.data()),
                  static_cast<uLong>(json.size()), 1) != Z_OK) {
        throw std::runtime_error("the index does not deflate");
    }
    out.resize(size);
    return out;
}

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

FrameReader::FrameReader(const PreviousArchive& previous, Land land)
    : previous_(previous), land_(std::move(land)) {}

std::string FrameReader::index() const {
    return index_ ? index_->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) : std::string();
}

bool FrameReader::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        if (ended_) throw Unparsed("data after their end");
        if (remaining_ == 0 && header_.size() < kFrameHeader) {
            const std::size_t take = std::min(bytes.size(), kFrameHeader - header_.size());
            header_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (header_.size() < kFrameHeader) return true;
            kind_ = header_[0];
            std::uint32_t value = 0;
            for (std::size_t i = 1; i < kFrameHeader; ++i) value = value << 8 | static_cast<unsigned char>(header_[i]);
            header_.clear();
            switch (kind_) {
                case 'H':
                case 'S':
                    if (value > kLargestEntry) throw Unparsed("an index entry is too large");
                    if ((kind_ == 'H') == index_.has_value()) throw Unparsed("an index entry before its header");
                    remaining_ = value;
                    body_.clear();
                    break;
                case 'D':
                    remaining_ = value;
                    break;
                case 'R':
                    if (!copy(value)) return false;
                    break;
                case 'E':
                    ended_ = true;
                    break;
                default:
                    notFrames_ = true;  // perhaps text before them, which the caller quotes
                    return false;
            }
            continue;
        }
        const std::string_view part = bytes.substr(0, remaining_);
        bytes.remove_prefix(part.size());
        remaining_ -= static_cast<std::uint32_t>(part.size());
        if (kind_ == 'D') {
            landed_ += part.size();
            if (!land_(part)) return false;
            continue;
        }
        body_.append(part);
        if (remaining_ > 0) continue;
        nlohmann::json entry;
        try {
            entry = nlohmann::json::parse(InflateIndex(body_));
        } catch (const std::exception&) {
            throw Unparsed("an index entry does not read");
        }
        if (!entry.is_object()) throw Unparsed("an index entry is not an object");
        if (kind_ == 'H') {
            index_ = std::move(entry);
            (*index_)["segments"] = nlohmann::json::array();
        } else {
            (*index_)["segments"].push_back(std::move(entry));
        }
    }
    return true;
}

bool FrameReader::copy(std::uint32_t number) {
    // The previous archive may be filled in after this reader was made.
    files_.resize(previous_.paths.size());
    if (number >= previous_.segments.size() || previous_.segments[number].sha256.empty() ||
        previous_.segments[number].source >= files_.size()) {
        throw Unparsed("segment " + std::to_string(number) + " is not one of the index sent");
    }
    const ReusedSegment& segment = previous_.segments[number];
    // Landed as it is read and proven at its end: one that changed on the
    // drive since the run began fails the run, so it never reaches a
    // snapshot.
    os::Sha256 hash;
    try {
        std::unique_ptr<ArchiveRanges>& file = files_[segment.source];
        if (!file) file = std::make_unique<ArchiveRanges>(previous_.paths[segment.source], previous_.keys);
        const bool landed = file->read(segment.offset, segment.length, [&](std::string_view piece) {
            hash.update(piece.data(), piece.size());
            return land_(piece);
        });
        if (!landed) return false;
    } catch (const std::runtime_error& e) {
        throw ArchiveDamage(ErrorCode::ReusedSegmentDiffers,
                            "segment " + std::to_string(number) + " cannot be read: " + e.what());
    }
    if (HexLower(hash.finish()) != segment.sha256) {
        throw ArchiveDamage(ErrorCode::ReusedSegmentDiffers, "segment " + std::to_string(number));
    }
    if (!index_) throw Unparsed("a copied segment before the header");
    nlohmann::json entry = nlohmann::json::parse(segment.entry, nullptr, false);
    if (!entry.is_object()) throw Unparsed("segment " + std::to_string(number) + " has no index entry");
    entry["offset"] = landed_;
    (*index_)["segments"].push_back(std::move(entry));
    landed_ += segment.length;
    reused_ += segment.length;
    return true;
}

}  // namespace tesmora
