#include "archive/archive_ranges.h"

#include "archive/archive_reader.h"
#include "os/os.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace tesmora {
namespace {

constexpr std::size_t kPiece = 1 << 20;
constexpr std::string_view kAgeStart = "age-encryption.org/v1\n";

}  // namespace

ArchiveRanges::ArchiveRanges(const std::wstring& path, const age::Keys* keys)
    : file_(os::FsPath(path), std::ios::binary) {
    if (!file_) throw std::runtime_error("the archive cannot be opened");
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(os::FsPath(path), ec);
    if (ec) throw std::runtime_error("the archive's size cannot be read");
    if (readAt(0, kAgeStart.size()) != kAgeStart) return;
    if (!keys) throw std::runtime_error("the archive is encrypted and no key was given");
    try {
        access_ = std::make_unique<age::RandomAccess>(
            *keys, [this](std::uint64_t offset, std::size_t count) { return readAt(offset, count); }, size);
    } catch (const age::AgeError& e) {
        throw ArchiveDamage(ErrorCode::EncryptedArchiveUnopened, e.what());
    }
}

ArchiveRanges::~ArchiveRanges() = default;

std::string ArchiveRanges::readAt(std::uint64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(file_.gcount(), 0)));
    return bytes;
}

bool ArchiveRanges::read(std::uint64_t offset, std::uint64_t length, const Sink& sink) {
    while (length > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPiece));
        if (access_) {
            piece_.clear();
            try {
                access_->read(offset, take, [this](std::string_view plain) { piece_.append(plain); });
            } catch (const age::AgeError& e) {
                throw ArchiveDamage(ErrorCode::EncryptedArchiveUnopened, e.what());
            }
        } else {
            piece_ = readAt(offset, take);
            if (piece_.size() != take) throw std::runtime_error("the archive ends early");
        }
        if (!sink(piece_)) return false;
        offset += take;
        length -= take;
    }
    return true;
}

}  // namespace tesmora
