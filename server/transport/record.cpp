// AES-256-GCM records of an encrypted link and the derivation of their keys.
// One cipher context per direction is set up with its key once; each record
// then only sets its nonce.
#include "record.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace vesk::record {
namespace {

// Domain separation of the two directions: neither end can be made to
// accept its own records back.
constexpr char kLabelFromInitiator[] = "vesk link record 1: initiator to acceptor";
constexpr char kLabelFromAcceptor[] = "vesk link record 1: acceptor to initiator";
constexpr size_t kDerivedBytes = kKeyBytes + kIvBytes;

struct CtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};

bool hkdf(std::string_view ikm, const uint8_t *salt, size_t salt_len, const char *label,
          uint8_t *out, size_t out_len) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    size_t len = out_len;
    return ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) > 0 &&
           EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt, static_cast<int>(salt_len)) > 0 &&
           EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), reinterpret_cast<const uint8_t *>(ikm.data()),
                                      static_cast<int>(ikm.size())) > 0 &&
           EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const uint8_t *>(label),
                                       static_cast<int>(std::strlen(label))) > 0 &&
           EVP_PKEY_derive(ctx.get(), out, &len) > 0 && len == out_len;
}

bool derive_direction(std::string_view ikm, const uint8_t *salt, size_t salt_len, const char *label,
                      DirectionKey *out) {
    uint8_t buf[kDerivedBytes];
    bool ok = hkdf(ikm, salt, salt_len, label, buf, sizeof buf);
    if (ok) {
        std::memcpy(out->key.data(), buf, kKeyBytes);
        std::memcpy(out->iv.data(), buf + kKeyBytes, kIvBytes);
    }
    OPENSSL_cleanse(buf, sizeof buf);
    return ok;
}

// The nonce of record n: the IV with n xored into its last 8 bytes.
void nonce_for(const std::array<uint8_t, kIvBytes> &iv, uint64_t n, uint8_t *nonce) {
    std::memcpy(nonce, iv.data(), kIvBytes);
    for (int i = 0; i < 8; i++) nonce[kIvBytes - 1 - i] ^= uint8_t(n >> (8 * i));
}

void put_length(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t get_length(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Whole size of the record whose header is at p; false for a length no
// sealer makes.
bool record_size(const uint8_t *p, size_t *total) {
    uint32_t plain = get_length(p);
    if (plain == 0 || plain > kPlainMax) return false;
    *total = kOverhead + plain;
    return true;
}

// The cipher with its key, IV and record counter for one direction.
struct Direction {
    CipherCtx ctx;
    std::array<uint8_t, kIvBytes> iv{};
    uint64_t counter = 0;
    ~Direction() { OPENSSL_cleanse(iv.data(), iv.size()); }

    bool init(const DirectionKey &k, bool encrypt) {
        ctx.reset(EVP_CIPHER_CTX_new());
        if (!ctx) return false;
        iv = k.iv;
        counter = 0;
        return EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k.key.data(), nullptr,
                                 encrypt ? 1 : 0) > 0;
    }
    // The next record's nonce into the context; false once the counter has
    // run through every value (a repeated nonce would give the key away).
    bool next_nonce() {
        if (!ctx || counter == UINT64_MAX) return false;
        uint8_t nonce[kIvBytes];
        nonce_for(iv, counter++, nonce);
        return EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce, -1) > 0;
    }
};

}  // namespace

Keys::~Keys() {
    OPENSSL_cleanse(this, sizeof *this);
}

bool derive(std::string_view shared_key, const uint8_t *initiator_nonce,
            const uint8_t *acceptor_nonce, bool initiator, Keys *out) {
    uint8_t salt[2 * kNonceBytes];
    std::memcpy(salt, initiator_nonce, kNonceBytes);
    std::memcpy(salt + kNonceBytes, acceptor_nonce, kNonceBytes);
    DirectionKey *from_initiator = initiator ? &out->send : &out->recv;
    DirectionKey *from_acceptor = initiator ? &out->recv : &out->send;
    return derive_direction(shared_key, salt, sizeof salt, kLabelFromInitiator, from_initiator) &&
           derive_direction(shared_key, salt, sizeof salt, kLabelFromAcceptor, from_acceptor);
}

// ---- Sealer ----

struct Sealer::Impl {
    Direction dir;
};

Sealer::Sealer() : impl_(std::make_unique<Impl>()) {}
Sealer::~Sealer() = default;

bool Sealer::init(const DirectionKey &k) {
    return impl_->dir.init(k, true);
}

bool Sealer::seal(std::string_view plain, std::string &out) {
    Direction &d = impl_->dir;
    while (!plain.empty()) {
        const size_t n = std::min(plain.size(), kPlainMax);
        if (!d.next_nonce()) return false;
        const size_t at = out.size();
        out.resize(at + kOverhead + n);
        auto *rec = reinterpret_cast<uint8_t *>(out.data() + at);
        put_length(rec, uint32_t(n));
        int len = 0, fin = 0;
        if (EVP_EncryptUpdate(d.ctx.get(), nullptr, &len, rec, int(kHeaderBytes)) <= 0 ||
            EVP_EncryptUpdate(d.ctx.get(), rec + kHeaderBytes, &len,
                              reinterpret_cast<const uint8_t *>(plain.data()), int(n)) <= 0 ||
            EVP_EncryptFinal_ex(d.ctx.get(), rec + kHeaderBytes + len, &fin) <= 0 ||
            size_t(len) + size_t(fin) != n ||
            EVP_CIPHER_CTX_ctrl(d.ctx.get(), EVP_CTRL_GCM_GET_TAG, int(kTagBytes),
                                rec + kHeaderBytes + n) <= 0) {
            out.resize(at);
            return false;
        }
        plain.remove_prefix(n);
    }
    return true;
}

// ---- Opener ----

struct Opener::Impl {
    Direction dir;
    std::string held;  // an incomplete record
    bool failed = false;

    // Opens the complete record at p (total bytes) onto out.
    bool open_one(const uint8_t *p, size_t total, std::string &out) {
        const size_t n = total - kOverhead;
        if (!dir.next_nonce()) return false;
        uint8_t tag[kTagBytes];
        std::memcpy(tag, p + kHeaderBytes + n, kTagBytes);
        const size_t at = out.size();
        out.resize(at + n);
        int len = 0, fin = 0;
        auto *dst = reinterpret_cast<uint8_t *>(out.data() + at);
        // The plaintext lands in out before the tag is checked; the caller
        // cuts it off again when the check fails.
        return EVP_DecryptUpdate(dir.ctx.get(), nullptr, &len, p, int(kHeaderBytes)) > 0 &&
               EVP_DecryptUpdate(dir.ctx.get(), dst, &len, p + kHeaderBytes, int(n)) > 0 &&
               EVP_CIPHER_CTX_ctrl(dir.ctx.get(), EVP_CTRL_GCM_SET_TAG, int(kTagBytes), tag) > 0 &&
               EVP_DecryptFinal_ex(dir.ctx.get(), dst + len, &fin) > 0 &&
               size_t(len) + size_t(fin) == n;
    }
};

Opener::Opener() : impl_(std::make_unique<Impl>()) {}
Opener::~Opener() = default;

bool Opener::init(const DirectionKey &k) {
    impl_->held.clear();
    impl_->failed = false;
    return impl_->dir.init(k, false);
}

size_t Opener::pending() const {
    return impl_->held.size();
}

bool Opener::open(std::string_view wire, std::string &out) {
    Impl &m = *impl_;
    if (m.failed) return false;
    const size_t start = out.size();
    auto fail = [&] {
        m.failed = true;
        m.held.clear();
        out.resize(start);
        return false;
    };
    auto take = [&](size_t want) {
        if (m.held.size() >= want) return true;
        size_t n = std::min(want - m.held.size(), wire.size());
        m.held.append(wire.substr(0, n));
        wire.remove_prefix(n);
        return m.held.size() == want;
    };
    size_t total = 0;
    if (!m.held.empty()) {
        // Finish the record begun by an earlier read.
        if (!take(kHeaderBytes)) return true;
        if (!record_size(reinterpret_cast<const uint8_t *>(m.held.data()), &total)) return fail();
        if (!take(total)) return true;
        if (!m.open_one(reinterpret_cast<const uint8_t *>(m.held.data()), total, out))
            return fail();
        m.held.clear();
    }
    // Whole records straight from the caller's bytes, without a copy.
    while (wire.size() >= kHeaderBytes) {
        const auto *p = reinterpret_cast<const uint8_t *>(wire.data());
        if (!record_size(p, &total)) return fail();
        if (wire.size() < total) break;
        if (!m.open_one(p, total, out)) return fail();
        wire.remove_prefix(total);
    }
    m.held.assign(wire);
    return true;
}

}  // namespace vesk::record
