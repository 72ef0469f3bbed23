// SHA-256 through CNG.
#include "os/error.h"
#include "os/os.h"
#include "os/win/win32.h"

#include <bcrypt.h>

namespace tesmora::os {

Sha256::Sha256() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        throw Error(ErrorCode::Sha256InitFailed);
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        throw Error(ErrorCode::Sha256InitFailed);
    }
    algorithm_ = algorithm;
    hash_ = hash;
}

Sha256::~Sha256() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void Sha256::update(const void* data, std::size_t size) {
    if (BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0) != 0) {
        throw Error(ErrorCode::Sha256UpdateFailed);
    }
}

std::string Sha256::finish() {
    std::string digest(32, '\0');
    if (BCryptFinishHash(hash_, reinterpret_cast<PUCHAR>(digest.data()), 32, 0) != 0) {
        throw Error(ErrorCode::Sha256FinalFailed);
    }
    return digest;
}

}  // namespace tesmora::os
