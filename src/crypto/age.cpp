#include "crypto/age.h"

#include "os/text.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace tesmora::age {
namespace {

constexpr std::string_view kVersionLine = "age-encryption.org/v1";
constexpr std::string_view kArmorBegin = "-----BEGIN AGE ENCRYPTED FILE-----";
constexpr std::string_view kArmorEnd = "-----END AGE ENCRYPTED FILE-----";
constexpr std::size_t kFileKey = 16;
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kTag = 16;
constexpr std::size_t kNonce = 16;
constexpr std::size_t kBodyColumns = 64;
constexpr std::size_t kLargestHeader = 1 << 20;  // far above any real one; a bound for what is buffered

[[noreturn]] void Fail(Failure failure, const std::string& what) { throw AgeError(failure, what); }

// Bytes that hold a secret are wiped when they go.
struct Secret {
    std::string bytes;
    Secret() = default;
    explicit Secret(std::string b) : bytes(std::move(b)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) { other.wipe(); }
    Secret& operator=(Secret&& other) noexcept {
        wipe();
        bytes = std::move(other.bytes);
        other.wipe();
        return *this;
    }
    ~Secret() { wipe(); }
    void wipe() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
        bytes.clear();
    }
};

const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// ---- Bit groups, base64 and bech32 ---------------------------------------------------

// Values of `from` bits each regrouped into values of `to` bits, most
// significant first. Encoding pads the last group with zero bits; decoding
// refuses leftover bits that are a whole group or not zero, as canonical
// text never has them.
std::optional<std::vector<std::uint8_t>> Regroup(const std::vector<std::uint8_t>& values, int from, int to, bool pad) {
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::uint8_t v : values) {
        bits = bits << from | v;
        held += from;
        while (held >= to) {
            held -= to;
            out.push_back(static_cast<std::uint8_t>(bits >> held & ((1u << to) - 1)));
        }
    }
    if (pad) {
        if (held > 0) out.push_back(static_cast<std::uint8_t>(bits << (to - held) & ((1u << to) - 1)));
    } else if (held >= from || (bits & ((1u << held) - 1)) != 0) {
        return std::nullopt;
    }
    return out;
}

std::vector<std::uint8_t> Octets(std::string_view bytes) { return {bytes.begin(), bytes.end()}; }
std::string Text(const std::vector<std::uint8_t>& octets) { return {octets.begin(), octets.end()}; }

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// age writes base64 without padding.
std::string Unpadded(std::string_view bytes) {
    std::string text = Base64(bytes);
    text.erase(text.find_last_not_of('=') + 1);
    return text;
}

// Unpadded and canonical: the unused bits of the last character are zero.
std::optional<std::string> Unbase64(std::string_view text) {
    std::vector<std::uint8_t> sextets;
    for (char c : text) {
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || at == nullptr) return std::nullopt;
        sextets.push_back(static_cast<std::uint8_t>(at - kAlphabet));
    }
    const auto octets = Regroup(sextets, 6, 8, false);
    if (!octets) return std::nullopt;
    return Text(*octets);
}

// ---- Bech32 (BIP 173), as age keys are written ---------------------------------------

constexpr char kBech32[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";

std::uint32_t Polymod(const std::vector<std::uint8_t>& values) {
    static constexpr std::uint32_t kGen[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    std::uint32_t chk = 1;
    for (std::uint8_t v : values) {
        const std::uint32_t top = chk >> 25;
        chk = (chk & 0x1ffffff) << 5 ^ v;
        for (int i = 0; i < 5; ++i) chk ^= (top >> i & 1) ? kGen[i] : 0;
    }
    return chk;
}

std::vector<std::uint8_t> Expanded(std::string_view hrp) {
    std::vector<std::uint8_t> out;
    for (char c : hrp) out.push_back(static_cast<std::uint8_t>(c) >> 5);
    out.push_back(0);
    for (char c : hrp) out.push_back(static_cast<std::uint8_t>(c) & 31);
    return out;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Bech32Encode(std::string_view hrp, std::string_view data, bool upper) {
    const std::vector<std::uint8_t> groups = *Regroup(Octets(data), 8, 5, true);
    std::string lowerHrp;
    for (char c : hrp) lowerHrp += Lower(c);
    std::vector<std::uint8_t> values = Expanded(lowerHrp);
    values.insert(values.end(), groups.begin(), groups.end());
    values.insert(values.end(), 6, 0);
    const std::uint32_t mod = Polymod(values) ^ 1;
    std::string out = lowerHrp + "1";
    for (std::uint8_t g : groups) out += kBech32[g];
    for (int i = 0; i < 6; ++i) out += kBech32[mod >> (5 * (5 - i)) & 31];
    if (upper) std::transform(out.begin(), out.end(), out.begin(), Upper);
    return out;
}

// The data of a bech32 text whose prefix is hrp (compared without case).
std::optional<std::string> Bech32Decode(std::string_view text, std::string_view hrp) {
    const bool upper = std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    const bool lower = std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    const std::size_t split = text.rfind('1');
    if ((upper && lower) || split == std::string_view::npos || split != hrp.size() || text.size() < split + 7) {
        return std::nullopt;
    }
    std::string lowered;
    for (char c : text) lowered += Lower(c);
    std::string wantedHrp;
    for (char c : hrp) wantedHrp += Lower(c);
    if (lowered.compare(0, split, wantedHrp) != 0) return std::nullopt;
    std::vector<std::uint8_t> values = Expanded(wantedHrp);
    std::vector<std::uint8_t> groups;
    for (std::size_t i = split + 1; i < lowered.size(); ++i) {
        const char* at = std::strchr(kBech32, lowered[i]);
        if (lowered[i] == '\0' || at == nullptr) return std::nullopt;
        groups.push_back(static_cast<std::uint8_t>(at - kBech32));
    }
    values.insert(values.end(), groups.begin(), groups.end());
    if (Polymod(values) != 1) return std::nullopt;
    groups.resize(groups.size() - 6);
    const auto octets = Regroup(groups, 5, 8, false);
    if (!octets) return std::nullopt;
    return Text(*octets);
}

// ---- Primitives ------------------------------------------------------------------

struct KdfDeleter {
    void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
    void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
template <typename T>
using Owned = std::unique_ptr<T, KdfDeleter>;

std::string RandomBytes(std::size_t size) {
    std::string out(size, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(size)) != 1) {
        throw std::runtime_error("no random bytes from the system");
    }
    return out;
}

Secret Hkdf(std::string_view ikm, std::string_view salt, std::string_view info, std::size_t size) {
    Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    Owned<EVP_KDF_CTX> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) throw std::runtime_error("HKDF is not available");
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(ikm.data()), ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end()};
    Secret out(std::string(size, '\0'));
    if (EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.bytes.data()), size, params) != 1) {
        throw std::runtime_error("HKDF failed");
    }
    return out;
}

std::string HmacSha256(std::string_view key, std::string_view message) {
    unsigned char mac[32];
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), U(message), message.size(), mac, &size) ==
        nullptr) {
        throw std::runtime_error("HMAC failed");
    }
    return std::string(reinterpret_cast<char*>(mac), size);
}

// ChaCha20-Poly1305 with an empty additional text: the ciphertext and its tag.
std::string Seal(std::string_view key, std::string_view nonce, std::string_view plain) {
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    std::string out(plain.size() + kTag, '\0');
    int n = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, U(key), U(nonce)) != 1 ||
        EVP_EncryptUpdate(ctx.get(), bytes, &n, U(plain), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), bytes + n, &n) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTag, bytes + plain.size()) != 1) {
        throw std::runtime_error("ChaCha20-Poly1305 failed");
    }
    return out;
}

std::optional<std::string> Open(std::string_view key, std::string_view nonce, std::string_view sealed) {
    if (sealed.size() < kTag) return std::nullopt;
    const std::size_t size = sealed.size() - kTag;
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    std::string out(size, '\0');
    int n = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    std::array<unsigned char, kTag> tag{};
    std::memcpy(tag.data(), sealed.data() + size, kTag);
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, U(key), U(nonce)) != 1 ||
        EVP_DecryptUpdate(ctx.get(), bytes, &n, U(sealed), static_cast<int>(size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTag, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), bytes + n, &n) != 1) {
        if (!out.empty()) OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

Owned<EVP_PKEY> X25519Key(std::string_view raw, bool secret) {
    Owned<EVP_PKEY> key(secret ? EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, U(raw), raw.size())
                               : EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, U(raw), raw.size()));
    if (!key) Fail(Failure::Header, "not an X25519 key");
    return key;
}

std::string X25519Public(std::string_view secret) {
    const Owned<EVP_PKEY> key = X25519Key(secret, true);
    std::string out(32, '\0');
    std::size_t size = out.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(out.data()), &size) != 1) {
        throw std::runtime_error("X25519 failed");
    }
    return out;
}

// The shared secret, or nothing when it is all zeros (a low-order share).
std::optional<Secret> X25519Shared(std::string_view secret, std::string_view peer) {
    const Owned<EVP_PKEY> mine = X25519Key(secret, true);
    const Owned<EVP_PKEY> theirs = X25519Key(peer, false);
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(mine.get(), nullptr));
    Secret out(std::string(32, '\0'));
    std::size_t size = out.bytes.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), theirs.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.bytes.data()), &size) != 1 || size != 32) {
        return std::nullopt;  // OpenSSL refuses an all-zero result
    }
    if (std::all_of(out.bytes.begin(), out.bytes.end(), [](char c) { return c == 0; })) return std::nullopt;
    return out;
}

constexpr std::string_view kScryptLabel = "age-encryption.org/v1/scrypt";

Secret ScryptKey(std::string_view passphrase, std::string_view salt, int workFactor) {
    const std::string fullSalt = std::string(kScryptLabel) + std::string(salt);
    Secret out(std::string(32, '\0'));
    const std::uint64_t n = std::uint64_t{1} << workFactor;
    if (EVP_PBE_scrypt(passphrase.data(), passphrase.size(), U(fullSalt), fullSalt.size(), n, 8, 1,
                       (n * 8 * 128) + (std::uint64_t{64} << 20), reinterpret_cast<unsigned char*>(out.bytes.data()),
                       out.bytes.size()) != 1) {
        throw std::runtime_error("scrypt failed");
    }
    return out;
}

const std::string kZeroNonce(12, '\0');

// ---- The header -------------------------------------------------------------------

struct Stanza {
    std::vector<std::string> args;
    std::string body;
};

std::string WrappedBody(std::string_view body) {
    const std::string text = Unpadded(body);
    std::string out;
    for (std::size_t at = 0;; at += kBodyColumns) {
        out += text.substr(at, kBodyColumns) + "\n";
        if (text.size() - at < kBodyColumns) break;  // the last line is short, perhaps empty
    }
    return out;
}

std::string StanzaText(const Stanza& stanza) {
    std::string out = "->";
    for (const std::string& arg : stanza.args) out += " " + arg;
    return out + "\n" + WrappedBody(stanza.body);
}

// The header up to and including "---", which the MAC covers, and the MAC.
std::string HeaderText(const std::vector<Stanza>& stanzas, std::string_view fileKey) {
    std::string text = std::string(kVersionLine) + "\n";
    for (const Stanza& stanza : stanzas) text += StanzaText(stanza);
    text += "---";
    const Secret macKey = Hkdf(fileKey, "", "header", 32);
    return text + " " + Unpadded(HmacSha256(macKey.bytes, text)) + "\n";
}

bool ArgumentCharacters(std::string_view arg) {
    return !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) { return c >= 33 && c <= 126; });
}

struct ParsedHeader {
    std::vector<Stanza> stanzas;
    std::string covered;  // what the MAC covers
    std::string mac;
    std::size_t size = 0;  // bytes of the file it took
};

// The header at the start of data, or nothing while it may still be
// incomplete; raises for a header that breaks the format.
std::optional<ParsedHeader> ParseHeader(std::string_view data, bool complete) {
    ParsedHeader header;
    std::size_t at = 0;
    const auto line = [&]() -> std::optional<std::string_view> {
        const std::size_t end = data.find('\n', at);
        if (end == std::string_view::npos) {
            if (complete || data.size() - at > kLargestHeader) Fail(Failure::Header, "the header ends early");
            return std::nullopt;
        }
        const std::string_view text = data.substr(at, end - at);
        at = end + 1;
        return text;
    };
    const auto first = line();
    if (!first) return std::nullopt;
    if (*first != kVersionLine) Fail(Failure::Header, "not an age v1 file");
    for (;;) {
        const auto text = line();
        if (!text) return std::nullopt;
        if (text->substr(0, 3) == "---") {
            if (text->size() < 4 || (*text)[3] != ' ') Fail(Failure::Header, "the MAC line is malformed");
            const auto mac = Unbase64(text->substr(4));
            if (!mac || mac->size() != 32) Fail(Failure::Header, "the MAC is malformed");
            header.covered = std::string(data.substr(0, at - 1 - (text->size() - 3)));
            header.mac = *mac;
            header.size = at;
            return header;
        }
        if (text->substr(0, 3) != "-> ") Fail(Failure::Header, "a stanza does not begin with \"-> \"");
        Stanza stanza;
        std::string_view rest = text->substr(3);
        for (;;) {
            const std::size_t space = rest.find(' ');
            const std::string_view arg = rest.substr(0, space);
            if (!ArgumentCharacters(arg)) Fail(Failure::Header, "a stanza argument is malformed");
            stanza.args.emplace_back(arg);
            if (space == std::string_view::npos) break;
            rest = rest.substr(space + 1);
        }
        std::string body;
        for (;;) {
            const auto bodyLine = line();
            if (!bodyLine) return std::nullopt;
            if (bodyLine->size() > kBodyColumns) Fail(Failure::Header, "a stanza body line is too long");
            body += *bodyLine;
            if (bodyLine->size() < kBodyColumns) break;
        }
        const auto decoded = Unbase64(body);
        if (!decoded) Fail(Failure::Header, "a stanza body is not canonical base64");
        stanza.body = *decoded;
        header.stanzas.push_back(std::move(stanza));
    }
}

// The file key from the stanzas, by the keys given.
Secret Unwrap(const std::vector<Stanza>& stanzas, const Keys& keys) {
    const bool scrypt = std::any_of(stanzas.begin(), stanzas.end(), [](const Stanza& s) { return s.args[0] == "scrypt"; });
    if (scrypt && stanzas.size() != 1) Fail(Failure::Header, "an scrypt stanza must be the only one");
    for (const Stanza& stanza : stanzas) {
        if (stanza.args[0] == "X25519") {
            const auto share = stanza.args.size() == 2 ? Unbase64(stanza.args[1]) : std::nullopt;
            if (!share || share->size() != 32 || stanza.body.size() != kFileKey + kTag) {
                Fail(Failure::Header, "an X25519 stanza is malformed");
            }
            for (const std::string& identity : keys.identities) {
                const auto secret = Bech32Decode(identity, "AGE-SECRET-KEY-");
                if (!secret || secret->size() != 32) Fail(Failure::Header, "an identity is not an age X25519 key");
                const Secret raw(*secret);
                const auto shared = X25519Shared(raw.bytes, *share);
                if (!shared) Fail(Failure::Header, "an X25519 share is of low order");
                const Secret wrapKey =
                    Hkdf(shared->bytes, *share + X25519Public(raw.bytes), "age-encryption.org/v1/X25519", 32);
                if (auto key = Open(wrapKey.bytes, kZeroNonce, stanza.body)) return Secret(std::move(*key));
            }
        } else if (stanza.args[0] == "scrypt") {
            const auto salt = stanza.args.size() == 3 ? Unbase64(stanza.args[1]) : std::nullopt;
            const std::string& factor = stanza.args.size() == 3 ? stanza.args[2] : std::string();
            const bool decimal = !factor.empty() && factor.size() <= 2 && factor[0] != '0' &&
                                 std::all_of(factor.begin(), factor.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!salt || salt->size() != 16 || !decimal || stanza.body.size() != kFileKey + kTag) {
                Fail(Failure::Header, "an scrypt stanza is malformed");
            }
            const int workFactor = std::stoi(factor);
            if (workFactor > keys.maxWorkFactor) Fail(Failure::Header, "the scrypt work factor is too large");
            for (const std::string& passphrase : keys.passphrases) {
                const Secret wrapKey = ScryptKey(passphrase, *salt, workFactor);
                if (auto key = Open(wrapKey.bytes, kZeroNonce, stanza.body)) return Secret(std::move(*key));
            }
        }
        // Other stanza types are for other identities.
    }
    Fail(Failure::NoMatch, "no identity or passphrase given opens this file");
}

std::string ChunkNonce(std::uint64_t counter, bool last) {
    std::string nonce(12, '\0');
    for (int i = 0; i < 8; ++i) nonce[10 - i] = static_cast<char>(counter >> (8 * i) & 0xFF);
    nonce[11] = last ? 1 : 0;
    return nonce;
}

// The payload's key, once the header proved by its MAC; nonce is the 16
// bytes that follow the header.
Secret PayloadKey(const ParsedHeader& header, std::string_view nonce, const Keys& keys) {
    const Secret fileKey = Unwrap(header.stanzas, keys);
    const Secret macKey = Hkdf(fileKey.bytes, "", "header", 32);
    if (HmacSha256(macKey.bytes, header.covered) != header.mac) {
        Fail(Failure::Hmac, "the header's MAC does not match: it was changed");
    }
    return Hkdf(fileKey.bytes, nonce, "payload", 32);
}

// Opens payload chunks: keyed once, a nonce per chunk, the plaintext buffer
// reused and wiped.
class ChunkOpener {
public:
    explicit ChunkOpener(Secret key) : key_(std::move(key)) {}
    ~ChunkOpener() { wipe(); }
    ChunkOpener(const ChunkOpener&) = delete;
    ChunkOpener& operator=(const ChunkOpener&) = delete;

    // The plaintext of chunk `counter`; raises (Payload) when it does not prove.
    std::string_view open(std::string_view sealed, std::uint64_t counter, bool last) {
        if (!cipher_) {
            cipher_.reset(EVP_CIPHER_CTX_new());
            if (!cipher_ || EVP_DecryptInit_ex(cipher_.get(), EVP_chacha20_poly1305(), nullptr, U(key_.bytes),
                                               nullptr) != 1) {
                throw std::runtime_error("ChaCha20-Poly1305 failed");
            }
        }
        if (sealed.size() < kTag) Failed(last);
        const std::size_t size = sealed.size() - kTag;
        plain_.resize(size);
        auto* bytes = reinterpret_cast<unsigned char*>(plain_.data());
        std::array<unsigned char, kTag> tag{};
        std::memcpy(tag.data(), sealed.data() + size, kTag);
        int n = 0;
        if (EVP_DecryptInit_ex(cipher_.get(), nullptr, nullptr, nullptr, U(ChunkNonce(counter, last))) == 1 &&
            EVP_DecryptUpdate(cipher_.get(), bytes, &n, U(sealed), static_cast<int>(size)) == 1 &&
            EVP_CIPHER_CTX_ctrl(cipher_.get(), EVP_CTRL_AEAD_SET_TAG, kTag, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(cipher_.get(), bytes + n, &n) == 1) {
            return plain_;
        }
        wipe();
        Failed(last);
    }

    void wipe() { OPENSSL_cleanse(plain_.data(), plain_.size()); }

private:
    [[noreturn]] static void Failed(bool last) {
        Fail(Failure::Payload, last ? "the last chunk does not prove: the file is damaged or cut short"
                                    : "a chunk does not prove: the file is damaged");
    }

    Secret key_;
    Owned<EVP_CIPHER_CTX> cipher_;
    std::string plain_;
};

// ---- Armor --------------------------------------------------------------------------

// The binary file inside an armored one; raises for armor that breaks the rules.
std::string Unarmor(std::string_view text) {
    // Whitespace around the armor is allowed, none inside it.
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        at = end + 1;
    }
    if (lines.size() < 2 || lines.front() != kArmorBegin || lines.back() != kArmorEnd) {
        Fail(Failure::Armor, "the armor does not begin and end as it should");
    }
    std::string encoded;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const bool last = i + 2 == lines.size();
        if (line.size() > 64 || (!last && line.size() != 64) || (last && line.empty())) {
            Fail(Failure::Armor, "an armor line has the wrong length");
        }
        encoded += line;
    }
    if (encoded.size() % 4 != 0) Fail(Failure::Armor, "the armor is not padded");
    std::size_t pad = 0;
    while (pad < 2 && pad < encoded.size() && encoded[encoded.size() - 1 - pad] == '=') ++pad;
    const auto decoded = Unbase64(std::string_view(encoded).substr(0, encoded.size() - pad));
    if (!decoded || (decoded->size() + pad) % 3 != 0 || Base64(*decoded) != encoded) {
        Fail(Failure::Armor, "the armor is not canonical base64");
    }
    return *decoded;
}

}  // namespace

// ---- Keys ---------------------------------------------------------------------------

std::string GenerateIdentity() {
    const Secret secret(RandomBytes(32));
    return Bech32Encode("AGE-SECRET-KEY-", secret.bytes, true);
}

std::string RecipientOf(std::string_view identity) {
    const auto secret = Bech32Decode(identity, "AGE-SECRET-KEY-");
    if (!secret || secret->size() != 32) Fail(Failure::Header, "not an age X25519 identity");
    const Secret raw(*secret);
    return Bech32Encode("age", X25519Public(raw.bytes), false);
}

std::string RecipientFingerprint(std::string_view recipient) {
    unsigned char digest[32];
    unsigned int size = 0;
    if (EVP_Digest(recipient.data(), recipient.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return "SHA256:" + Unpadded(std::string_view(reinterpret_cast<const char*>(digest), size));
}

std::string ProposePassphrase() {
    // No 0/O, 1/l/I, 2/Z, 5/S, 8/B: what is read off a sheet must type back.
    static constexpr char kLetters[] = "acdefghjkmnpqrtuvwxy34679ACDEFGH";
    static_assert(sizeof(kLetters) == 33);
    const std::string random = RandomBytes(30);
    std::string text;
    for (std::size_t i = 0; i < random.size(); ++i) {
        if (i > 0 && i % 5 == 0) text += '-';
        text += kLetters[static_cast<unsigned char>(random[i]) % 32];
    }
    return text;
}

// ---- Encryption -------------------------------------------------------------------

struct Encryptor::State {
    Sink sink;
    Owned<EVP_CIPHER_CTX> cipher{EVP_CIPHER_CTX_new()};  // keyed once, a nonce per chunk
    std::string held;    // plaintext not yet sealed
    std::string sealed;  // the chunk going out
    std::uint64_t counter = 0;
    bool finished = false;

    void start(const std::vector<Stanza>& stanzas, const Secret& fileKey) {
        const std::string nonce = RandomBytes(kNonce);
        const Secret payloadKey = Hkdf(fileKey.bytes, nonce, "payload", 32);
        if (!cipher || EVP_EncryptInit_ex(cipher.get(), EVP_chacha20_poly1305(), nullptr, U(payloadKey.bytes),
                                          nullptr) != 1) {
            throw std::runtime_error("ChaCha20-Poly1305 failed");
        }
        sink(HeaderText(stanzas, fileKey.bytes) + nonce);
    }
    void seal(std::string_view plain, bool last) {
        sealed.resize(plain.size() + kTag);
        auto* bytes = reinterpret_cast<unsigned char*>(sealed.data());
        int n = 0;
        if (EVP_EncryptInit_ex(cipher.get(), nullptr, nullptr, nullptr, U(ChunkNonce(counter++, last))) != 1 ||
            EVP_EncryptUpdate(cipher.get(), bytes, &n, U(plain), static_cast<int>(plain.size())) != 1 ||
            EVP_EncryptFinal_ex(cipher.get(), bytes + n, &n) != 1 ||
            EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_AEAD_GET_TAG, kTag, bytes + plain.size()) != 1) {
            throw std::runtime_error("ChaCha20-Poly1305 failed");
        }
        sink(sealed);
    }
};

Encryptor::Encryptor(std::unique_ptr<State> state) : state_(std::move(state)) {}

Encryptor::Encryptor(const std::vector<std::string>& recipients, Sink sink) : state_(std::make_unique<State>()) {
    state_->sink = std::move(sink);
    const Secret fileKey(RandomBytes(kFileKey));
    std::vector<Stanza> stanzas;
    for (const std::string& recipient : recipients) {
        const auto raw = Bech32Decode(recipient, "age");
        if (!raw || raw->size() != 32) Fail(Failure::Header, "not an age X25519 recipient: " + recipient);
        const Secret ephemeral(RandomBytes(32));
        const std::string share = X25519Public(ephemeral.bytes);
        const auto shared = X25519Shared(ephemeral.bytes, *raw);
        if (!shared) Fail(Failure::Header, "the recipient is of low order");
        const Secret wrapKey = Hkdf(shared->bytes, share + *raw, "age-encryption.org/v1/X25519", 32);
        stanzas.push_back({{"X25519", Unpadded(share)}, Seal(wrapKey.bytes, kZeroNonce, fileKey.bytes)});
    }
    state_->start(stanzas, fileKey);
}

Encryptor Encryptor::WithPassphrase(std::string_view passphrase, int workFactor, Sink sink) {
    auto state = std::make_unique<State>();
    state->sink = std::move(sink);
    const Secret fileKey(RandomBytes(kFileKey));
    const std::string salt = RandomBytes(16);
    const Secret wrapKey = ScryptKey(passphrase, salt, workFactor);
    state->start({{{"scrypt", Unpadded(salt), std::to_string(workFactor)},
                   Seal(wrapKey.bytes, kZeroNonce, fileKey.bytes)}},
                 fileKey);
    return Encryptor(std::move(state));
}

Encryptor::~Encryptor() = default;
Encryptor::Encryptor(Encryptor&&) noexcept = default;

void Encryptor::write(std::string_view plain) {
    State& s = *state_;
    if (s.finished) throw std::logic_error("write after finish");
    while (!plain.empty()) {
        // A full chunk is sealed once more follows: the last one carries the flag.
        if (s.held.empty() && plain.size() > kChunk) {
            s.seal(plain.substr(0, kChunk), false);
            plain.remove_prefix(kChunk);
            continue;
        }
        if (s.held.size() == kChunk) {
            s.seal(s.held, false);
            s.held.clear();
        }
        const std::size_t take = std::min(plain.size(), kChunk - s.held.size());
        s.held.append(plain.substr(0, take));
        plain.remove_prefix(take);
    }
}

void Encryptor::finish() {
    State& s = *state_;
    if (s.finished) return;
    s.finished = true;
    s.seal(s.held, true);
    OPENSSL_cleanse(s.held.data(), s.held.size());
    s.held.clear();
}

// ---- Decryption -------------------------------------------------------------------

struct Decryptor::State {
    Keys keys;
    Sink sink;
    std::string held;  // bytes not yet taken
    bool armored = false;
    bool headerDone = false;
    bool sawChunk = false;
    bool ended = false;  // the last chunk came
    std::uint64_t counter = 0;
    std::optional<ChunkOpener> opener;

    void header(bool complete) {
        const auto parsed = ParseHeader(held, complete);
        if (!parsed) return;
        // The nonce first: an scrypt key is worth deriving once only.
        if (held.size() < parsed->size + kNonce) {
            if (complete) Fail(Failure::Header, "the file ends before its payload nonce");
            return;
        }
        opener.emplace(PayloadKey(*parsed, std::string_view(held).substr(parsed->size, kNonce), keys));
        held.erase(0, parsed->size + kNonce);
        headerDone = true;
    }

    void chunk(std::string_view sealed, bool last) {
        if (ended) Fail(Failure::Payload, "data follows the last chunk");
        const std::string_view plain = opener->open(sealed, counter, last);
        if (last && plain.empty() && counter > 0) Fail(Failure::Payload, "an empty last chunk after others");
        ++counter;
        sawChunk = true;
        ended = last;
        sink(plain);
        opener->wipe();
    }

    void payload(bool complete) {
        constexpr std::size_t sealedChunk = kChunk + kTag;
        std::size_t at = 0;
        // A full chunk is not the last while more follows it.
        while (held.size() - at > sealedChunk) {
            chunk(std::string_view(held).substr(at, sealedChunk), false);
            at += sealedChunk;
        }
        held.erase(0, at);
        if (!complete) return;
        if (held.empty() && !sawChunk) Fail(Failure::Payload, "the file has no payload");
        if (!held.empty()) {
            if (held.size() < kTag) Fail(Failure::Payload, "the last chunk is cut short");
            chunk(held, true);
            held.clear();
        }
        if (!ended) Fail(Failure::Payload, "the file is cut short: its last chunk is missing");
    }
};

Decryptor::Decryptor(Keys keys, Sink sink, Armor armor) : state_(std::make_unique<State>()) {
    state_->keys = std::move(keys);
    state_->sink = std::move(sink);
    state_->armored = armor == Armor::Always;
}

Decryptor::~Decryptor() {
    for (std::string& p : state_->keys.passphrases) OPENSSL_cleanse(p.data(), p.size());
    for (std::string& i : state_->keys.identities) OPENSSL_cleanse(i.data(), i.size());
}

void Decryptor::feed(std::string_view bytes) {
    State& s = *state_;
    s.held.append(bytes);
    // Armor is decoded whole; it is for small files that people paste.
    if (!s.headerDone && !s.armored && s.held.size() >= kArmorBegin.size()) {
        std::string_view start = s.held;
        while (!start.empty() && (start.front() == ' ' || start.front() == '\t' || start.front() == '\n' ||
                                  start.front() == '\r')) {
            start.remove_prefix(1);
        }
        s.armored = start.substr(0, kArmorBegin.size()) == kArmorBegin;
    }
    if (s.armored) return;
    if (!s.headerDone) s.header(false);
    if (s.headerDone) s.payload(false);
}

void Decryptor::finish() {
    State& s = *state_;
    if (s.armored) {
        s.held = Unarmor(s.held);
        s.armored = false;
    }
    if (!s.headerDone) s.header(true);
    s.payload(true);
}

// ---- Random access --------------------------------------------------------------

struct RandomAccess::State {
    Read readAt;
    std::uint64_t payloadStart = 0, chunks = 0, plainSize = 0;
    std::optional<ChunkOpener> opener;
    std::string sealed;
};

RandomAccess::RandomAccess(const Keys& keys, Read readAt, std::uint64_t fileSize)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.readAt = std::move(readAt);
    // The header is read in growing steps: it is short, but its size is
    // known only once it is parsed.
    std::string start;
    std::optional<ParsedHeader> header;
    for (std::size_t want = 4096; !header; want *= 4) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, want + kNonce));
        start = s.readAt(0, size);
        if (start.size() != size) Fail(Failure::Header, "the file ends before its header");
        header = ParseHeader(start, size == fileSize || want > kLargestHeader);
    }
    const std::string nonce = s.readAt(header->size, kNonce);
    if (nonce.size() != kNonce) Fail(Failure::Header, "the file ends before its payload nonce");
    s.opener.emplace(PayloadKey(*header, nonce, keys));
    s.payloadStart = header->size + kNonce;
    const std::uint64_t sealed = fileSize - s.payloadStart;
    constexpr std::uint64_t sealedChunk = kChunk + kTag;
    s.chunks = (sealed + sealedChunk - 1) / sealedChunk;
    if (s.chunks == 0) Fail(Failure::Payload, "the file has no payload");
    if (sealed - (s.chunks - 1) * sealedChunk < kTag) Fail(Failure::Payload, "the last chunk is cut short");
    s.plainSize = sealed - s.chunks * kTag;
}

RandomAccess::~RandomAccess() = default;

std::uint64_t RandomAccess::plainSize() const { return state_->plainSize; }

void RandomAccess::read(std::uint64_t offset, std::uint64_t size, const Sink& sink) {
    State& s = *state_;
    if (offset > s.plainSize || size > s.plainSize - offset) {
        Fail(Failure::Payload, "a range past the end of the file was asked for");
    }
    while (size > 0) {
        const std::uint64_t counter = offset / kChunk;
        const bool last = counter + 1 == s.chunks;
        s.sealed = s.readAt(s.payloadStart + counter * (kChunk + kTag), kChunk + kTag);
        if (!last && s.sealed.size() != kChunk + kTag) Fail(Failure::Payload, "a chunk is cut short");
        const std::string_view plain = s.opener->open(s.sealed, counter, last);
        const std::size_t from = static_cast<std::size_t>(offset - counter * kChunk);
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, plain.size() - from));
        sink(plain.substr(from, take));
        s.opener->wipe();
        offset += take;
        size -= take;
    }
}

std::string SealIdentities(const std::vector<std::string>& identities, std::string_view passphrase, int workFactor) {
    Secret text;
    for (const std::string& identity : identities) {
        text.bytes += "# public key: " + RecipientOf(identity) + "\n" + identity + "\n";
    }
    std::string out;
    Encryptor encryptor =
        Encryptor::WithPassphrase(passphrase, workFactor, [&](std::string_view bytes) { out.append(bytes); });
    encryptor.write(text.bytes);
    encryptor.finish();
    return out;
}

std::vector<std::string> OpenIdentities(std::string_view file, std::string_view passphrase) {
    Keys keys;
    keys.passphrases.emplace_back(passphrase);
    const Secret text(Decrypt(file, keys));
    std::vector<std::string> identities;
    std::string_view rest = text.bytes;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        RecipientOf(line);  // raises for a line that is no identity
        identities.emplace_back(line);
    }
    if (identities.empty()) Fail(Failure::Header, "the identity file holds no identity");
    return identities;
}

std::string Encrypt(std::string_view plain, const std::vector<std::string>& recipients) {
    std::string out;
    Encryptor encryptor(recipients, [&](std::string_view bytes) { out.append(bytes); });
    encryptor.write(plain);
    encryptor.finish();
    return out;
}

std::string Decrypt(std::string_view file, const Keys& keys, Armor armor) {
    std::string out;
    Decryptor decryptor(keys, [&](std::string_view bytes) { out.append(bytes); }, armor);
    decryptor.feed(file);
    decryptor.finish();
    return out;
}

}  // namespace tesmora::age
