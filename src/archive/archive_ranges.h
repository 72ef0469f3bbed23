// Byte ranges of an archive that lies on the drive, numbered as the
// archive's own bytes: a plain file as it is, an age-encrypted one through
// the keys that open it, chunk by proven chunk. A run that copies segments
// out of earlier archives, and the proof of those segments, read here.
#pragma once

#include "crypto/age.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tesmora {

class ArchiveRanges {
public:
    // Takes the next piece; false stops the reading.
    using Sink = std::function<bool(std::string_view)>;

    // Opens the file; one that is age-encrypted needs keys that open it.
    // Raises std::runtime_error when it cannot be read as either (an
    // ArchiveDamage when its key does not open it).
    explicit ArchiveRanges(const std::wstring& path, const age::Keys* keys = nullptr);
    ~ArchiveRanges();
    ArchiveRanges(const ArchiveRanges&) = delete;
    ArchiveRanges& operator=(const ArchiveRanges&) = delete;

    bool encrypted() const { return access_ != nullptr; }

    // The bytes of [offset, offset + length) to sink in order, in pieces of
    // at most 1 MiB; false when sink stopped. Raises std::runtime_error when
    // the range is not all there or, encrypted, does not prove.
    bool read(std::uint64_t offset, std::uint64_t length, const Sink& sink);

private:
    std::string readAt(std::uint64_t offset, std::size_t size);

    std::ifstream file_;
    std::unique_ptr<age::RandomAccess> access_;
    std::string piece_;
};

}  // namespace tesmora
