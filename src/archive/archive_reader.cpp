#include "archive/archive_reader.h"

#include "os/text.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kInputBuffer = 256 * 1024;
constexpr std::size_t kTarBuffer = 256 * 1024;
// Two zero blocks end a tar archive.
constexpr std::uint64_t kEndOfArchiveBytes = 1024;

std::string Hex2(unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    return std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

// Decompresses a stream of one or more gzip members. zlib's gzip mode checks
// each member's header and its trailer: the CRC-32 and the length of the data.
class GzipInflater {
public:
    explicit GzipInflater(ByteSource& source) : source_(source), input_(kInputBuffer) {}
    ~GzipInflater() {
        if (initialised_) inflateEnd(&z_);
    }
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    // Up to `size` bytes of the decompressed stream; 0 once the last member
    // ended with the source.
    std::size_t read(char* out, std::size_t size) {
        if (finished_) return 0;
        z_.next_out = reinterpret_cast<Bytef*>(out);
        z_.avail_out = static_cast<uInt>(size);
        while (z_.avail_out == size) {
            if (!inMember_ && !startMember()) {
                finished_ = true;
                break;
            }
            if (z_.avail_in == 0 && !fill()) {
                throw ArchiveDamage(ErrorCode::GzipEndsEarly, std::to_string(compressed_) + " bytes");
            }
            const int result = inflate(&z_, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                inMember_ = false;
            } else if (result == Z_MEM_ERROR) {
                throw Error(ErrorCode::OutOfMemory);
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                throw ArchiveDamage(ErrorCode::GzipMemberDamaged,
                                    std::to_string(member_) + " is damaged: " +
                                        (z_.msg != nullptr ? z_.msg : "invalid data"));
            }
        }
        return size - z_.avail_out;
    }

    std::uint64_t compressed() const { return compressed_; }

private:
    // At a member boundary: false at the clean end of the stream, else the
    // next member's header is checked and decompression starts.
    bool startMember() {
        if (!haveInput(2)) {
            if (z_.avail_in == 0) {
                if (member_ == 0) throw ArchiveDamage(ErrorCode::ArchiveEmpty);
                return false;
            }
        }
        const auto* head = reinterpret_cast<const unsigned char*>(z_.next_in);
        if (z_.avail_in < 2 || head[0] != 0x1F || head[1] != 0x8B) {
            if (member_ == 0) {
                throw ArchiveDamage(
                    ErrorCode::NotGzip,
                    PrintableStart(std::string_view(reinterpret_cast<const char*>(head), z_.avail_in)) + "\"");
            }
            throw ArchiveDamage(ErrorCode::DataAfterGzipMember, std::to_string(member_));
        }
        const int result = initialised_ ? inflateReset(&z_) : inflateInit2(&z_, 16 + MAX_WBITS);
        if (result != Z_OK) throw Error(ErrorCode::OutOfMemory);
        initialised_ = true;
        inMember_ = true;
        ++member_;
        return true;
    }

    // Reads until at least `count` bytes wait or the source ends.
    bool haveInput(std::size_t count) {
        while (z_.avail_in < count) {
            if (!fill()) return false;
        }
        return true;
    }

    bool fill() {
        if (z_.avail_in > 0 && reinterpret_cast<char*>(z_.next_in) != input_.data()) {
            std::memmove(input_.data(), z_.next_in, z_.avail_in);
        }
        const std::size_t kept = z_.avail_in;
        const std::size_t got = source_.read(input_.data() + kept, input_.size() - kept);
        z_.next_in = reinterpret_cast<Bytef*>(input_.data());
        z_.avail_in = static_cast<uInt>(kept + got);
        compressed_ += got;
        return got > 0;
    }

    ByteSource& source_;
    std::vector<char> input_;
    z_stream z_{};
    bool initialised_ = false;
    bool inMember_ = false;
    bool finished_ = false;
    unsigned member_ = 0;
    std::uint64_t compressed_ = 0;
};

EntryType TypeOf(archive_entry* entry) {
    if (archive_entry_hardlink(entry) != nullptr) return EntryType::Hardlink;
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG: return EntryType::File;
        case AE_IFDIR: return EntryType::Directory;
        case AE_IFLNK: return EntryType::Symlink;
        default: return EntryType::Other;
    }
}

// Frees the libarchive reader on every path, a failed open included.
struct ArchiveFree {
    void operator()(archive* handle) const { archive_read_free(handle); }
};
using ArchiveHandle = std::unique_ptr<archive, ArchiveFree>;

// A name as UTF-8. libarchive on Windows keeps names as UTF-16 and cannot
// hand them out as UTF-8; elsewhere it has UTF-8, or only the raw bytes of a
// name that is not UTF-8, which are kept as they are.
std::string Text(archive_entry* entry, const wchar_t* (*wide)(archive_entry*), const char* (*utf8)(archive_entry*),
                 const char* (*raw)(archive_entry*)) {
    if (sizeof(wchar_t) == 2) {
        if (const wchar_t* text = wide(entry)) return ToUtf8(text);
    } else if (const char* text = utf8(entry)) {
        return text;
    }
    const char* bytes = raw(entry);
    return bytes != nullptr ? bytes : "";
}

}  // namespace

class ArchiveReader::Impl {
public:
    explicit Impl(ByteSource& source) : inflater_(source), tar_(kTarBuffer), handle_(archive_read_new()) {
        archive_ = handle_.get();
        if (archive_ == nullptr) throw Error(ErrorCode::OutOfMemory);
        archive_read_support_format_tar(archive_);
        if (archive_read_open(archive_, this, nullptr, &Impl::Read, nullptr) != ARCHIVE_OK) {
            rethrowFailure();
            throw ArchiveDamage(ErrorCode::TarUnreadable, errorText());
        }
    }

    bool next(ArchiveEntry& out) {
        archive_entry* entry = nullptr;
        const int result = archive_read_next_header(archive_, &entry);
        rethrowFailure();
        if (result == ARCHIVE_EOF) {
            finishStream();
            return false;
        }
        // Warnings (a name the system's code page cannot show) leave the member readable.
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
            if (current_.index == 0) throw ArchiveDamage(ErrorCode::TarDamagedAtStart, ": " + errorText());
            throw ArchiveDamage(ErrorCode::TarDamagedAfterMember, describe() + " is damaged: " + errorText());
        }
        current_ = ArchiveEntry{};
        current_.index = ++members_;
        current_.name =
            Text(entry, archive_entry_pathname_w, archive_entry_pathname_utf8, archive_entry_pathname);
        current_.type = TypeOf(entry);
        current_.size = archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
        if (current_.type == EntryType::Hardlink) {
            current_.link =
                Text(entry, archive_entry_hardlink_w, archive_entry_hardlink_utf8, archive_entry_hardlink);
        } else if (current_.type == EntryType::Symlink) {
            current_.link =
                Text(entry, archive_entry_symlink_w, archive_entry_symlink_utf8, archive_entry_symlink);
        }
        current_.mtime = archive_entry_mtime(entry);
        current_.mtimeNanoseconds = archive_entry_mtime_nsec(entry);
        current_.mode = static_cast<unsigned>(archive_entry_perm(entry));
        out = current_;
        return true;
    }

    bool readData(std::string_view& piece, std::uint64_t& offset) {
        const void* data = nullptr;
        std::size_t size = 0;
        la_int64_t at = 0;
        const int result = archive_read_data_block(archive_, &data, &size, &at);
        rethrowFailure();
        if (result == ARCHIVE_EOF) return false;
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
            throw ArchiveDamage(ErrorCode::MemberDamaged, describe() + " is damaged: " + errorText());
        }
        piece = std::string_view(static_cast<const char*>(data), size);
        offset = static_cast<std::uint64_t>(at);
        return true;
    }

    std::uint64_t compressedBytes() const { return inflater_.compressed(); }

private:
    static la_ssize_t Read(archive* handle, void* self, const void** buffer) {
        auto* impl = static_cast<Impl*>(self);
        try {
            const std::size_t size = impl->pull();
            *buffer = impl->tar_.data();
            return static_cast<la_ssize_t>(size);
        } catch (...) {
            // No exception may cross libarchive's C code: it is kept and
            // raised again once libarchive has returned.
            impl->failure_ = std::current_exception();
            archive_set_error(handle, EIO, "the compressed stream failed");
            return -1;
        }
    }

    // The next piece of the tar stream into tar_, keeping count of the zero
    // bytes it ends with.
    std::size_t pull() {
        const std::size_t size = inflater_.read(tar_.data(), tar_.size());
        std::size_t zeros = 0;
        while (zeros < size && tar_[size - 1 - zeros] == 0) ++zeros;
        total_ += size;
        if (zeros < size) nonZeroEnd_ = total_ - zeros;
        return size;
    }

    // After the end-of-archive mark: the rest of the stream may hold only
    // zero padding, and every gzip member must still end with its trailer.
    // A member hidden behind the mark would pass every reader that stops
    // there, so not one byte after it may be other than zero.
    void finishStream() {
        while (pull() > 0) {
        }
        const auto mark = static_cast<std::uint64_t>(archive_read_header_position(archive_));
        if (total_ < mark + kEndOfArchiveBytes) {
            throw ArchiveDamage(ErrorCode::TarEndMissing);
        }
        if (nonZeroEnd_ > mark) throw ArchiveDamage(ErrorCode::TarGoesOnAfterEnd);
    }

    void rethrowFailure() {
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

    std::string errorText() const {
        const char* text = archive_error_string(archive_);
        return text != nullptr ? text : "unreadable";
    }

    std::string describe() const { return std::to_string(current_.index) + " (" + current_.name + ")"; }

    GzipInflater inflater_;
    std::vector<char> tar_;
    ArchiveHandle handle_;
    archive* archive_ = nullptr;
    std::exception_ptr failure_;
    ArchiveEntry current_;
    std::uint64_t members_ = 0;
    std::uint64_t total_ = 0;       // tar bytes inflated so far
    std::uint64_t nonZeroEnd_ = 0;  // just past the last byte that was not zero
};

ArchiveReader::ArchiveReader(ByteSource& source) : impl_(std::make_unique<Impl>(source)) {}

ArchiveReader::~ArchiveReader() = default;

bool ArchiveReader::next(ArchiveEntry& entry) { return impl_->next(entry); }

bool ArchiveReader::readData(std::string_view& piece, std::uint64_t& offset) {
    return impl_->readData(piece, offset);
}

std::uint64_t ArchiveReader::compressedBytes() const { return impl_->compressedBytes(); }

std::string BinaryMemberName(std::string_view bytes) {
    // libarchive keeps such a name as it keeps this one: as bytes, converted
    // only when asked for.
    archive_entry* entry = archive_entry_new();
    if (entry == nullptr) throw Error(ErrorCode::OutOfMemory);
    archive_entry_copy_pathname(entry, std::string(bytes).c_str());
    std::string name = Text(entry, archive_entry_pathname_w, archive_entry_pathname_utf8, archive_entry_pathname);
    archive_entry_free(entry);
    return name;
}

std::string PrintableStart(std::string_view bytes, std::size_t limit) {
    std::string out;
    std::size_t i = 0;
    for (; i < bytes.size() && i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
        } else if (byte >= 0xC2 && byte <= 0xF4) {
            // A whole, valid UTF-8 sequence is shown as the character it is.
            const std::size_t length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
            const std::string_view sequence = bytes.substr(i, length);
            const std::wstring decoded = FromUtf8(sequence);
            if (sequence.size() == length && decoded.size() <= 2 && decoded.find(L'\uFFFD') == std::wstring::npos) {
                out += sequence;
                i += length - 1;
            } else {
                out += Hex2(byte);
            }
        } else {
            out += Hex2(byte);
        }
    }
    if (i < bytes.size()) out += "...";
    return out;
}

}  // namespace tesmora
