// SHA-256 through OpenSSL, on both systems: its code uses the processor's
// SHA extensions where there are any, and Wine's CNG has none.
#include "os/error.h"
#include "os/os.h"

#include <openssl/evp.h>

namespace tesmora::os {

Sha256::Sha256() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        throw Error(ErrorCode::Sha256InitFailed);
    }
    hash_ = context;
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(hash_)); }

void Sha256::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(hash_), data, size) != 1) throw Error(ErrorCode::Sha256UpdateFailed);
}

std::string Sha256::finish() {
    std::string digest(32, '\0');
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(hash_), reinterpret_cast<unsigned char*>(digest.data()),
                           &length) != 1 || length != 32) {
        throw Error(ErrorCode::Sha256FinalFailed);
    }
    return digest;
}

}  // namespace tesmora::os
