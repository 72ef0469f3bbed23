// age files as they may reach the reader: damaged, cut, armored or made up.
// Reading one either gives the plaintext of chunks that proved or raises
// AgeError; it never faults. The identity is fixed, the passphrase allowed
// only a small work factor, so that a mutated scrypt stanza stays quick.
#include "crypto/age.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace tesmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    age::Keys keys{{"AGE-SECRET-KEY-1EGTZVFFV20835NWYV6270LXYVK2VKNX2MMDKWYKLMGR48UAWX40Q2P2LM0"}, {"password"}, 10};
    for (age::Armor armor : {age::Armor::Detect, age::Armor::Always}) {
        try {
            age::Decrypt(file, keys, armor);
        } catch (const age::AgeError&) {
        }
    }
    return 0;
}
