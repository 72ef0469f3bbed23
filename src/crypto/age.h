// The age file format, version 1 (age-encryption.org/v1): files encrypted
// to X25519 recipients ("age1...") or with a passphrase (scrypt), which the
// age tool opens without this program. Written on OpenSSL's EVP interfaces;
// the reader is strict, as the format's own test vectors demand: anything
// not written exactly as the format says is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora::age {

// Why a file does not open, in the test vectors' own terms.
enum class Failure {
    Header,   // the header breaks the format
    Hmac,     // the header was changed after it was written
    NoMatch,  // no identity given opens it (a wrong key or passphrase)
    Payload,  // the encrypted data is damaged, cut short or extended
    Armor,    // the ASCII armor breaks its rules
};

class AgeError : public std::runtime_error {
public:
    AgeError(Failure failure, const std::string& what) : std::runtime_error(what), failure_(failure) {}
    Failure failure() const { return failure_; }

private:
    Failure failure_;
};

// A new X25519 identity, "AGE-SECRET-KEY-1...", and the recipient
// ("age1...") that files for it are encrypted to. Both raise AgeError
// (Header) for text that is not one.
std::string GenerateIdentity();
std::string RecipientOf(std::string_view identity);

// "SHA256:" + unpadded base64 of a recipient's SHA-256: names the key a
// file was encrypted to, and gives nothing away.
std::string RecipientFingerprint(std::string_view recipient);

// A passphrase to propose: 30 letters and digits in groups of five, about
// 150 bits, none that reads like another.
std::string ProposePassphrase();

// What opens a file: identities ("AGE-SECRET-KEY-1...") and passphrases.
struct Keys {
    std::vector<std::string> identities;
    std::vector<std::string> passphrases;
    int maxWorkFactor = 22;  // the largest scrypt work factor (log2 N) tried
};

// Encrypts a stream as it comes: the header at once, then 64 KiB chunks.
// sink takes the file's bytes in order.
class Encryptor {
public:
    using Sink = std::function<void(std::string_view)>;
    // To X25519 recipients ("age1...").
    Encryptor(const std::vector<std::string>& recipients, Sink sink);
    // With a passphrase, at scrypt work factor log2 N.
    static Encryptor WithPassphrase(std::string_view passphrase, int workFactor, Sink sink);
    ~Encryptor();
    Encryptor(Encryptor&&) noexcept;
    Encryptor& operator=(Encryptor&&) = delete;

    void write(std::string_view plain);
    void finish();  // the last chunk; nothing may be written after it

private:
    struct State;
    explicit Encryptor(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// Whether a file is ASCII-armored ("-----BEGIN AGE ENCRYPTED FILE-----"):
// told by its start, or known to be.
enum class Armor { Detect, Always };

// Decrypts a file as it comes; sink takes the plaintext, never a byte of a
// chunk that did not prove. finish() raises AgeError unless the file ended
// whole.
class Decryptor {
public:
    using Sink = std::function<void(std::string_view)>;
    Decryptor(Keys keys, Sink sink, Armor armor = Armor::Detect);
    ~Decryptor();
    Decryptor(const Decryptor&) = delete;
    Decryptor& operator=(const Decryptor&) = delete;

    void feed(std::string_view bytes);
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads ranges of a file's plaintext without the rest: each 64 KiB chunk
// is sealed with its own number, so a range needs only the chunks that hold
// it, and a chunk proves where it belongs. Not for armored files. The last
// chunk proves the file ends there only when a range reaches into it.
class RandomAccess {
public:
    using Read = std::function<std::string(std::uint64_t offset, std::size_t size)>;  // fewer at the end
    using Sink = std::function<void(std::string_view)>;
    // Reads and proves the header; raises AgeError.
    RandomAccess(const Keys& keys, Read readAt, std::uint64_t fileSize);
    ~RandomAccess();
    RandomAccess(const RandomAccess&) = delete;
    RandomAccess& operator=(const RandomAccess&) = delete;

    std::uint64_t plainSize() const;
    // The plaintext of [offset, offset + size) to sink, chunk by proven
    // chunk; raises AgeError (Payload).
    void read(std::uint64_t offset, std::uint64_t size, const Sink& sink);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// An identity file sealed with a passphrase, as `age -p` writes one and
// `age -d -i FILE` reads it: the identities, one a line, each after a
// comment with its recipient. Opening one gives its identities and raises
// AgeError (NoMatch for a wrong passphrase).
constexpr int kIdentityWorkFactor = 18;
std::string SealIdentities(const std::vector<std::string>& identities, std::string_view passphrase,
                           int workFactor = kIdentityWorkFactor);
std::vector<std::string> OpenIdentities(std::string_view file, std::string_view passphrase);

// A whole file at once.
std::string Encrypt(std::string_view plain, const std::vector<std::string>& recipients);
std::string Decrypt(std::string_view file, const Keys& keys, Armor armor = Armor::Detect);

}  // namespace tesmora::age
