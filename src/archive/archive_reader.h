// Reading the archives the server program makes: gzip-compressed tar. zlib
// decompresses every gzip member and checks its trailer (CRC-32 and length);
// libarchive walks the tar stream. Verification, listing and restore all read
// through this one reader.
#pragma once

#include "os/error.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tesmora {

// Where compressed archive bytes come from: a file, or a transfer as it
// arrives. read() may block until bytes are there; 0 means the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// What makes an archive untrustworthy: a reason of the catalogue, which
// completes the sentence "Archive verification failed: ".
class ArchiveDamage : public Error {
public:
    explicit ArchiveDamage(ErrorCode reason, std::string_view detail = {}) : Error(reason, detail) {}
};

enum class EntryType { File, Directory, Symlink, Hardlink, Other };

struct ArchiveEntry {
    std::uint64_t index = 0;  // 1 for the first member
    std::string name;         // UTF-8 where the archive says so, else its bytes
    EntryType type = EntryType::Other;
    std::uint64_t size = 0;   // data bytes of a file
    std::string link;         // the target of a symbolic or hard link
    std::int64_t mtime = 0;   // seconds since 1970
    long mtimeNanoseconds = 0;
    unsigned mode = 0;        // permission bits
};

class ArchiveReader {
public:
    explicit ArchiveReader(ByteSource& source);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // The next member, or false after the end-of-archive blocks, once the rest
    // of the compressed stream has been read and checked too. Unread data of
    // the previous member is passed over. Raises ArchiveDamage.
    bool next(ArchiveEntry& entry);

    // The next piece of the current member's data and its offset in the file;
    // false at the end of the data. Raises ArchiveDamage.
    bool readData(std::string_view& piece, std::uint64_t& offset);

    // Compressed bytes taken from the source so far.
    std::uint64_t compressedBytes() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The name the reader gives a member whose header holds `bytes` as a name of
// no known character set (PAX hdrcharset=BINARY), as the server program
// writes a name that is not UTF-8.
std::string BinaryMemberName(std::string_view bytes);

// The first bytes of a text in a form fit for a one-line message: printable
// UTF-8 kept, line breaks and other control bytes escaped, at most `limit`
// bytes of it.
std::string PrintableStart(std::string_view bytes, std::size_t limit = 48);

}  // namespace tesmora
