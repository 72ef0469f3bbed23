#include "archive/age_source.h"

#include <algorithm>
#include <cstring>

namespace tesmora {

AgeSource::AgeSource(ByteSource& file, age::Keys keys)
    : file_(file),
      decryptor_(std::move(keys), [this](std::string_view plain) { plain_.append(plain); }),
      piece_(1 << 20, '\0') {}

std::size_t AgeSource::read(char* buffer, std::size_t size) {
    try {
        while (taken_ == plain_.size() && !ended_) {
            plain_.clear();
            taken_ = 0;
            const std::size_t got = file_.read(piece_.data(), piece_.size());
            if (got == 0) {
                decryptor_.finish();
                ended_ = true;
            } else {
                decryptor_.feed(std::string_view(piece_.data(), got));
            }
        }
    } catch (const age::AgeError& e) {
        throw ArchiveDamage(ErrorCode::EncryptedArchiveUnopened, e.what());
    }
    const std::size_t take = std::min(size, plain_.size() - taken_);
    std::memcpy(buffer, plain_.data() + taken_, take);
    taken_ += take;
    return take;
}

}  // namespace tesmora
