// The backup program's answer to a run that sent an index to build on:
// frames, each a kind byte and a 4-byte big-endian number. "H" and the
// length of the new index's header; "D" and that many archive bytes; "R"
// and the number of a segment sent to copy, proven by its SHA-256, whose
// index entry is the one sent but for its new offset; "S" and the length of
// the index entry of the segment just received; "E" and 0, last. The header
// and entries are zlib-compressed JSON.
#pragma once

#include "archive/archive_ranges.h"
#include "remote/archive_stream.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

class FrameReader {
public:
    // Takes archive bytes in order; false once they cannot begin an archive.
    using Land = std::function<bool(std::string_view)>;

    FrameReader(const PreviousArchive& previous, Land land);

    // The next bytes of standard output; false once they are no frames or
    // land refused the archive. Raises ArchiveDamage for frames that break
    // their own rules and for a copied segment that is not what was proven.
    bool feed(std::string_view bytes);

    bool ended() const { return ended_; }
    bool notFrames() const { return notFrames_; }  // what came was never frames
    // The index of the segments that have wholly arrived, as JSON; empty
    // before the header. After the end it is the new archive's whole index.
    std::string index() const;
    std::uint64_t reusedBytes() const { return reused_; }

private:
    bool copy(std::uint32_t number);

    const PreviousArchive& previous_;
    Land land_;
    std::vector<std::unique_ptr<ArchiveRanges>> files_;  // by source, opened when first copied from
    std::string header_;         // of the frame being read
    std::uint32_t remaining_ = 0;  // of its bytes
    char kind_ = 0;
    bool ended_ = false;
    bool notFrames_ = false;
    std::string body_;  // of an "H" or "S" frame
    std::optional<nlohmann::json> index_;
    std::uint64_t landed_ = 0;  // archive bytes
    std::uint64_t reused_ = 0;
};

// An index as zlib-compressed JSON, the way it is kept, and back; Inflate
// raises std::runtime_error for bytes that do not inflate.
std::string DeflateIndex(std::string_view json);
std::string InflateIndex(std::string_view compressed);

}  // namespace tesmora
