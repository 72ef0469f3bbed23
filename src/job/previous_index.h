// What a backup builds on: the newest snapshot's index, proven against its
// checksum file, and the segments of that snapshot's archive that still
// have the SHA-256 the index gives them. A segment that does not is left
// out of what the server is sent, so the server sends it again and damage
// in one snapshot never reaches the next.
#pragma once

#include "archive/archive_check.h"
#include "remote/archive_stream.h"

#include <optional>
#include <string>
#include <string_view>

namespace tesmora {

struct PreviousIndex {
    PreviousArchive archive;  // a segment without its digest is one to send again
    std::string requestJson;  // the index as the server program reads it
    std::size_t damaged = 0;  // segments left out
};

// The index of the snapshot folder, or nothing when it has none that proves
// (an older snapshot, a damaged file): the next run is then a full one.
// `progress` gets the archive bytes read.
std::optional<PreviousIndex> LoadPreviousIndex(const std::wstring& snapshot, const ReadProgress& progress = {});

// The index text the server sent (zlib-compressed JSON) as JSON; raises
// std::runtime_error when it does not inflate.
std::string InflateIndex(std::string_view compressed);

}  // namespace tesmora
