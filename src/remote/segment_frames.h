// The backup program's answer to a run that sent the previous snapshot's
// index: frames, each a kind byte and a 4-byte big-endian number. "D" and
// that many archive bytes; "R" and the number of a segment of the previous
// archive to copy, proven by its SHA-256 first; "I" and that many bytes of
// the new archive's index; "E" and 0, last.
#pragma once

#include "remote/archive_stream.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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
    const std::string& index() const { return index_; }
    std::uint64_t reusedBytes() const { return reused_; }

private:
    bool copy(std::uint32_t number);

    const PreviousArchive& previous_;
    Land land_;
    std::optional<std::ifstream> file_;
    std::string header_;         // of the frame being read
    std::uint32_t remaining_ = 0;  // of its bytes
    char kind_ = 0;
    bool ended_ = false;
    bool notFrames_ = false;
    std::string index_;
    std::uint64_t reused_ = 0;
};

}  // namespace tesmora
