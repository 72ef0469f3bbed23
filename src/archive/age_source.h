// An age-encrypted archive read as the archive itself: the bytes of the
// file come from another source (which hashes them as they lie on the
// drive), the reader gets the plaintext, never a byte of a chunk that did
// not prove.
#pragma once

#include "archive/archive_reader.h"
#include "crypto/age.h"

#include <string>

namespace tesmora {

class AgeSource final : public ByteSource {
public:
    AgeSource(ByteSource& file, age::Keys keys);
    // Raises ArchiveDamage ("the encrypted archive does not open: ") for a
    // wrong key, a damaged chunk and a file cut short.
    std::size_t read(char* buffer, std::size_t size) override;

private:
    ByteSource& file_;
    age::Decryptor decryptor_;
    std::string plain_;  // proven bytes not yet taken
    std::size_t taken_ = 0;
    std::string piece_;
    bool ended_ = false;
};

}  // namespace tesmora
