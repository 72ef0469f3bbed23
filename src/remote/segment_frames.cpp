#include "remote/segment_frames.h"

#include "archive/archive_reader.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>

namespace tesmora {
namespace {

constexpr std::size_t kFrameHeader = 5;
constexpr std::uint32_t kLargestIndex = 256u << 20;
constexpr std::size_t kCopyPiece = 1 << 20;

ArchiveDamage Unparsed(const std::string& why) { return ArchiveDamage(ErrorCode::FramesUnparsed, why); }

}  // namespace

FrameReader::FrameReader(const PreviousArchive& previous, Land land) : previous_(previous), land_(std::move(land)) {}

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
                case 'D':
                case 'I':
                    if (kind_ == 'I' && index_.size() + value > kLargestIndex) throw Unparsed("the index is too large");
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
        if (kind_ == 'I') {
            index_.append(part);
        } else if (!land_(part)) {
            return false;
        }
    }
    return true;
}

bool FrameReader::copy(std::uint32_t number) {
    if (number >= previous_.segments.size() || previous_.segments[number].sha256.empty()) {
        throw Unparsed("segment " + std::to_string(number) + " is not one of the previous index");
    }
    const ReusedSegment& segment = previous_.segments[number];
    if (!file_) file_.emplace(os::FsPath(previous_.path), std::ios::binary);
    file_->clear();
    file_->seekg(static_cast<std::streamoff>(segment.offset));
    // Landed as it is read and proven at its end: one that changed on the
    // drive since the run began fails the run, so it never reaches a
    // snapshot.
    os::Sha256 hash;
    std::string piece;
    for (std::uint64_t left = segment.length; left > 0;) {
        piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyPiece)));
        if (!file_->read(piece.data(), static_cast<std::streamsize>(piece.size()))) {
            throw ArchiveDamage(ErrorCode::ReusedSegmentDiffers, "segment " + std::to_string(number) + " cannot be read");
        }
        hash.update(piece.data(), piece.size());
        left -= piece.size();
        if (!land_(piece)) return false;
    }
    if (HexLower(hash.finish()) != segment.sha256) {
        throw ArchiveDamage(ErrorCode::ReusedSegmentDiffers, "segment " + std::to_string(number));
    }
    reused_ += segment.length;
    return true;
}

}  // namespace tesmora
