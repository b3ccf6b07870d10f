// The TCP link's key check (see keycheck.h): a mutual HMAC-SHA256
// challenge and response over fresh nonces, which also salts the record keys.
#include "keycheck.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "keyfile.h"

namespace vesk::transport {
namespace {

constexpr int kAuthTimeoutMs = 10 * 1000;  // whole key check, both directions
constexpr size_t kNonceBytes = 32;         // 256 bits of RAND_bytes per side
constexpr size_t kMacBytes = 32;           // HMAC-SHA256
constexpr unsigned char kMagic0 = 'V';     // every key check message starts "VK"
constexpr unsigned char kMagic1 = 'K';
constexpr unsigned char kAuthVersion = 1;  // bump when the exchange changes
constexpr unsigned char kTypeHello = 1;    // carries the sender's nonce
constexpr unsigned char kTypeProof = 2;    // carries the sender's MAC
constexpr unsigned char kTypeBusy = 3;     // the listener has a link up; zeros follow
constexpr unsigned char kRoleInitiator = 'I';
constexpr unsigned char kRoleAcceptor = 'A';
constexpr size_t kHeaderBytes = 5;                            // magic, version, type, role
constexpr size_t kMessageBytes = kHeaderBytes + kNonceBytes;  // 37 bytes, hello or proof
static_assert(kNonceBytes == kMacBytes, "hello and proof share one message size");
static_assert(kNonceBytes == record::kNonceBytes, "the record keys are salted with both nonces");
constexpr char kMacLabel[] = "vesk link key check 1";  // domain separation of the MAC input

const char kKeyRefused[] = "key check failed: the far end does not hold the same key";
const char kBusyText[] = "the far end refused the link: a link is up already";
const char kFarClosed[] = "the far end closed the connection during the key check";

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for events on fd until deadline.  Returns false on timeout or error
// (reason in *error).
bool wait_fd(int fd, short events, Clock::time_point deadline, std::string *error) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int left = ms_left(deadline);
        if (left == 0) {
            *error =
                "no answer from the far end within " + std::to_string(kAuthTimeoutMs / 1000) + " s";
            return false;
        }
        int n = ::poll(&p, 1, left);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) {
            *error = std::string("key check failed: ") + std::strerror(errno);
            return false;
        }
    }
}

// Moves exactly n bytes each way (send: out of p; receive: into p, and never
// more, since what follows belongs to the frames) before the deadline.
bool move_exact(int fd, bool sending, unsigned char *p, size_t n, Clock::time_point deadline,
                std::string *error) {
    while (n > 0) {
        if (!wait_fd(fd, sending ? POLLOUT : POLLIN, deadline, error)) return false;
        ssize_t got = sending ? ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : ::recv(fd, p, n, MSG_DONTWAIT);
        if (got == 0 && !sending) {
            *error = kFarClosed;
            return false;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            // A far end that gave up is no key failure, whatever errno says.
            if (errno == EPIPE || errno == ECONNRESET)
                *error = kFarClosed;
            else
                *error = std::string("key check failed: ") + std::strerror(errno);
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool send_exact(int fd, const unsigned char *p, size_t n, Clock::time_point deadline,
                std::string *error) {
    return move_exact(fd, true, const_cast<unsigned char *>(p), n, deadline, error);
}

bool recv_exact(int fd, unsigned char *p, size_t n, Clock::time_point deadline,
                std::string *error) {
    return move_exact(fd, false, p, n, deadline, error);
}

void put_header(unsigned char *m, unsigned char type, unsigned char role) {
    m[0] = kMagic0;
    m[1] = kMagic1;
    m[2] = kAuthVersion;
    m[3] = type;
    m[4] = role;
}

bool header_ok(const unsigned char *m, unsigned char type, unsigned char role) {
    return m[0] == kMagic0 && m[1] == kMagic1 && m[2] == kAuthVersion && m[3] == type &&
           m[4] == role;
}

// Whether the listener's busy answer waits unread on fd (the initiator's
// hello may fail to go out once the listener has closed).
bool busy_waiting(int fd) {
    unsigned char m[kHeaderBytes];
    ssize_t got = ::recv(fd, m, sizeof m, MSG_DONTWAIT | MSG_PEEK);
    return got == static_cast<ssize_t>(sizeof m) && header_ok(m, kTypeBusy, kRoleAcceptor);
}

// MAC of one side's proof.  The sender's role and both nonces in a fixed
// order (initiator's first) are in the input, so a proof can be neither
// reflected back to its sender nor replayed into another exchange.
bool proof_mac(const std::string &key, unsigned char role, const unsigned char *initiator_nonce,
               const unsigned char *acceptor_nonce, unsigned char *mac) {
    unsigned char input[sizeof kMacLabel + 1 + 2 * kNonceBytes];
    size_t n = 0;
    std::memcpy(input, kMacLabel, sizeof kMacLabel);  // with its NUL: the label ends here
    n += sizeof kMacLabel;
    input[n++] = role;
    std::memcpy(input + n, initiator_nonce, kNonceBytes);
    n += kNonceBytes;
    std::memcpy(input + n, acceptor_nonce, kNonceBytes);
    n += kNonceBytes;
    unsigned int len = 0;
    unsigned char *r =
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), input, n, mac, &len);
    return r != nullptr && len == kMacBytes;
}

}  // namespace

bool send_busy(int fd) {
    unsigned char msg[kMessageBytes] = {};
    put_header(msg, kTypeBusy, kRoleAcceptor);
    return ::send(fd, msg, sizeof msg, MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(sizeof msg);
}

bool key_check(int fd, const std::string &key_path, bool initiator, LinkEnds *ends,
               std::string *error, CheckFault *fault) {
    if (key_path.empty()) {
        *error = "tcp links need --key FILE";
        return false;
    }
    std::string key;
    if (!keyfile::load(key_path, &key, error)) return false;
    record::Keys keys;
    bool ok = authenticate(fd, key, initiator, error, &keys, fault);
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) return false;
    ends->in_fd = ends->out_fd = fd;
    ends->child = -1;
    ends->is_tcp = true;
    ends->keys = keys;
    return true;
}

bool authenticate(int fd, const std::string &key, bool initiator, std::string *error,
                  record::Keys *keys, CheckFault *fault) {
    CheckFault ignored;
    if (fault == nullptr) fault = &ignored;
    *fault = CheckFault::kOther;
    if (key.empty()) {
        *error = "key check failed: empty key";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kAuthTimeoutMs);
    const unsigned char my_role = initiator ? kRoleInitiator : kRoleAcceptor;
    const unsigned char peer_role = initiator ? kRoleAcceptor : kRoleInitiator;

    unsigned char my_nonce[kNonceBytes], peer_nonce[kNonceBytes];
    if (RAND_bytes(my_nonce, sizeof my_nonce) != 1) {
        *error = "key check failed: no random numbers";
        return false;
    }
    // Both sides send their nonce at once; 37 bytes fit any socket buffer,
    // so neither blocks on the other.
    unsigned char msg[kMessageBytes];
    put_header(msg, kTypeHello, my_role);
    std::memcpy(msg + kHeaderBytes, my_nonce, kNonceBytes);
    if (!send_exact(fd, msg, sizeof msg, deadline, error)) {
        if (initiator && busy_waiting(fd)) {
            *error = kBusyText;
            *fault = CheckFault::kBusy;
        }
        return false;
    }
    // The header first: a stranger speaking something else is turned away at
    // its first bytes, not when the deadline runs out.
    const char *foreign = "key check failed: the far end does not speak the key check";
    if (!recv_exact(fd, msg, kHeaderBytes, deadline, error)) return false;
    if (initiator && header_ok(msg, kTypeBusy, kRoleAcceptor)) {
        *error = kBusyText;
        *fault = CheckFault::kBusy;
        return false;
    }
    if (!header_ok(msg, kTypeHello, peer_role)) {
        *error = foreign;
        return false;
    }
    if (!recv_exact(fd, msg + kHeaderBytes, kNonceBytes, deadline, error)) return false;
    // A peer sending our nonce back is a reflection.
    if (CRYPTO_memcmp(msg + kHeaderBytes, my_nonce, kNonceBytes) == 0) {
        *error = foreign;
        return false;
    }
    std::memcpy(peer_nonce, msg + kHeaderBytes, kNonceBytes);

    const unsigned char *inonce = initiator ? my_nonce : peer_nonce;
    const unsigned char *anonce = initiator ? peer_nonce : my_nonce;
    unsigned char my_mac[kMacBytes], want_mac[kMacBytes];
    if (!proof_mac(key, my_role, inonce, anonce, my_mac) ||
        !proof_mac(key, peer_role, inonce, anonce, want_mac)) {
        *error = "key check failed: HMAC unavailable";
        return false;
    }
    put_header(msg, kTypeProof, my_role);
    std::memcpy(msg + kHeaderBytes, my_mac, kMacBytes);
    if (!send_exact(fd, msg, sizeof msg, deadline, error)) return false;
    if (!recv_exact(fd, msg, sizeof msg, deadline, error)) return false;
    if (!header_ok(msg, kTypeProof, peer_role) ||
        CRYPTO_memcmp(msg + kHeaderBytes, want_mac, kMacBytes) != 0) {
        *error = kKeyRefused;
        *fault = CheckFault::kWrongKey;
        return false;
    }
    // Both nonces are fresh, so a recording of an earlier session, even one
    // whose key check is replayed whole, opens nothing in this one.
    if (keys != nullptr && !record::derive(key, inonce, anonce, initiator, keys)) {
        *error = "key check failed: key derivation unavailable";
        return false;
    }
    return true;
}

static_assert(Acceptor::kMessageBytes == kMessageBytes && Acceptor::kHeaderBytes == kHeaderBytes);

bool Acceptor::hello_start_ok(const unsigned char *m, size_t n) {
    unsigned char want[kHeaderBytes];
    put_header(want, kTypeHello, kRoleInitiator);
    return std::memcmp(m, want, std::min(n, sizeof want)) == 0;
}

bool Acceptor::start(std::string *hello, std::string *error) {
    if (RAND_bytes(my_nonce_, sizeof my_nonce_) != 1) {
        *error = "key check failed: no random numbers";
        return false;
    }
    unsigned char out[kMessageBytes];
    put_header(out, kTypeHello, kRoleAcceptor);
    std::memcpy(out + kHeaderBytes, my_nonce_, kNonceBytes);
    hello->assign(reinterpret_cast<const char *>(out), sizeof out);
    return true;
}

bool Acceptor::hello(const unsigned char *m, const std::string &key, std::string *proof,
                     std::string *error) {
    const char *foreign = "key check failed: the far end does not speak the key check";
    // A peer sending our nonce back is a reflection.
    if (!header_ok(m, kTypeHello, kRoleInitiator) ||
        CRYPTO_memcmp(m + kHeaderBytes, my_nonce_, kNonceBytes) == 0) {
        *error = foreign;
        return false;
    }
    if (key.empty()) {
        *error = "key check failed: empty key";
        return false;
    }
    key_ = key;
    std::memcpy(peer_nonce_, m + kHeaderBytes, kNonceBytes);
    unsigned char out[kMessageBytes];
    if (!proof_mac(key_, kRoleAcceptor, peer_nonce_, my_nonce_, out + kHeaderBytes) ||
        !proof_mac(key_, kRoleInitiator, peer_nonce_, my_nonce_, want_mac_)) {
        *error = "key check failed: HMAC unavailable";
        return false;
    }
    put_header(out, kTypeProof, kRoleAcceptor);
    proof->assign(reinterpret_cast<const char *>(out), sizeof out);
    return true;
}

bool Acceptor::proof(const unsigned char *m, record::Keys *keys, std::string *error,
                     CheckFault *fault) {
    *fault = CheckFault::kOther;
    if (key_.empty()) {
        *error = "key check failed: proof before hello";
        return false;
    }
    if (!header_ok(m, kTypeProof, kRoleInitiator) ||
        CRYPTO_memcmp(m + kHeaderBytes, want_mac_, kMacBytes) != 0) {
        *error = kKeyRefused;
        *fault = CheckFault::kWrongKey;
        return false;
    }
    if (!record::derive(key_, peer_nonce_, my_nonce_, false, keys)) {
        *error = "key check failed: key derivation unavailable";
        return false;
    }
    return true;
}

Acceptor::~Acceptor() {
    OPENSSL_cleanse(key_.data(), key_.size());
}

}  // namespace vesk::transport
