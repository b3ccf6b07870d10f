// Records of an encrypted link: after the key check of a TCP link every byte
// each way crosses inside AES-256-GCM records, keyed per direction from the
// shared key and both ends' nonces, so that nobody on the path reads the
// frames or changes, drops, reorders or replays a byte unnoticed.
//
//   bytes 0-3  plaintext length L, big-endian (1 to kPlainMax)
//   L bytes    ciphertext
//   16 bytes   GCM tag over the ciphertext, with bytes 0-3 as associated data
//
// The nonce of record n (n = 0, 1, ... per direction) is the direction's
// 12-byte IV with n, big-endian, xored into its last 8 bytes.  It is never
// sent: the receiver counts too, so a dropped, repeated or reordered record
// fails its tag.  docs/link-protocol.md has the rest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vesk::record {

constexpr size_t kKeyBytes = 32;  // AES-256
constexpr size_t kIvBytes = 12;   // GCM's native nonce size
constexpr size_t kTagBytes = 16;  // full-length GCM tag
constexpr size_t kHeaderBytes = 4;
// Plaintext of one record, bytes: large, so that the per-record cost (one
// IV set-up and a tag) vanishes against the per-byte cost of bulk data.
constexpr size_t kPlainMax = 64 * 1024;
// Bytes one record adds to its plaintext.
constexpr size_t kOverhead = kHeaderBytes + kTagBytes;
// Length of each end's nonce in the key check that feeds the derivation.
constexpr size_t kNonceBytes = 32;

// Key and IV of one direction.
struct DirectionKey {
    std::array<uint8_t, kKeyBytes> key{};
    std::array<uint8_t, kIvBytes> iv{};
};

// Both directions as one end sees them.  Wiped when destroyed.
struct Keys {
    DirectionKey send;
    DirectionKey recv;
    Keys() = default;
    Keys(const Keys &) = default;
    Keys &operator=(const Keys &) = default;
    ~Keys();
};

// HKDF-SHA256 from the shared key, salted with the initiator's and then the
// acceptor's nonce (kNonceBytes each), one label per direction.  initiator
// says which end this is, so that its send key is the other end's receive
// key.  Returns false only when the crypto library fails.
bool derive(std::string_view shared_key, const uint8_t *initiator_nonce,
            const uint8_t *acceptor_nonce, bool initiator, Keys *out);

// Seals one direction.  Not copyable; the cipher context is set up once.
class Sealer {
  public:
    Sealer();
    ~Sealer();
    Sealer(const Sealer &) = delete;
    Sealer &operator=(const Sealer &) = delete;
    // Returns false when the crypto library cannot take the key.
    bool init(const DirectionKey &k);
    // Appends plain, cut into records of at most kPlainMax, to out (nothing
    // for empty plain).  Returns false when the cipher fails or the record
    // counter would repeat; the link must end then.
    bool seal(std::string_view plain, std::string &out);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Opens the other direction from the byte stream as it arrives.
class Opener {
  public:
    Opener();
    ~Opener();
    Opener(const Opener &) = delete;
    Opener &operator=(const Opener &) = delete;
    bool init(const DirectionKey &k);
    // Takes the next bytes of the stream, keeps an incomplete record for the
    // next call and appends the plaintext of every complete one to out.
    // Returns false, with out as it was, at the first record that fails its
    // tag, its counter or its length; every later call fails too.
    bool open(std::string_view wire, std::string &out);
    // Bytes of an incomplete record held back.
    size_t pending() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Both directions of one end of an encrypted link.
struct Layer {
    Sealer sealer;
    Opener opener;
    // Returns false when the crypto library cannot take the keys.
    bool init(const Keys &keys) { return sealer.init(keys.send) && opener.init(keys.recv); }
};

}  // namespace vesk::record
