// What a backup builds on: the newest snapshot's index, proven against its
// checksum file, and the index a cut-off run left in staging beside the
// bytes that wholly arrived, with the segments of either archive that still
// have the SHA-256 its index gives them. A segment that does not is left
// out of what the server is sent, so the server sends it again and damage
// in one archive never reaches the next.
#pragma once

#include "archive/archive_check.h"
#include "crypto/age.h"
#include "remote/archive_stream.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

struct PreviousIndex {
    PreviousArchive archive;         // a segment without its digest is one to send again
    std::string requestJson;         // the index as the server program reads it
    std::size_t damaged = 0;         // segments left out
    std::uint64_t resumedBytes = 0;  // of the cut run's archive that may be copied
};

// The index of the snapshot folder (empty: none) and that of a cut run in
// the staging folder (empty: none), or nothing when neither proves (an
// older snapshot, a damaged file): the next run is then a full one.
// `progress` gets the archive bytes read.
// Encrypted archives and indexes open with `keys` (null: none at hand, so
// such a snapshot gives no index), which must outlive the transfer.
std::optional<PreviousIndex> LoadPreviousIndex(const std::wstring& snapshot, const std::wstring& staging = {},
                                               const ReadProgress& progress = {}, const age::Keys* keys = nullptr);

// An index as it is kept (JSON, zlib-compressed), age-encrypted to the
// recipients when there are any: it names every file of the site.
std::string SealIndex(std::string_view json, const std::vector<std::string>& recipients);

// Keeps what a cut-off run left in staging for the next run: its archive as
// the one to resume from and the index of the segments that wholly landed
// (JSON), encrypted when the run was. An index without segments leaves an
// earlier cut run's in place.
void KeepCutRun(const std::wstring& staging, const std::string& landedIndex,
                const std::vector<std::string>& recipients = {});

// Removes a cut run's files from staging, once a run no longer needs them.
void ForgetCutRun(const std::wstring& staging);

}  // namespace tesmora
