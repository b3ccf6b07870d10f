// The link's ends: how they are opened, how a TCP peer proves it holds the
// key, and zstd for data frames.
#include "transport.h"
#include "fd.h"

#include "hostport.h"
#include "keyfile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <zstd.h>

namespace vesk::transport {
namespace {

constexpr int kAuthTimeoutMs = 10 * 1000;  // whole key check, both directions
// Connections the kernel may hold until veskd takes them: the listener takes
// them as they come and bounds the key checks itself, so the queue only has
// to ride out a burst between two turns of the loop.
constexpr int kListenBacklog = 128;
constexpr int kCompressLevel = 1;       // fastest: frames are small and latency counts
constexpr size_t kNonceBytes = 32;      // 256 bits of RAND_bytes per side
constexpr size_t kMacBytes = 32;        // HMAC-SHA256
constexpr unsigned char kMagic0 = 'V';  // every key check message starts "VK"
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

bool parse_port(std::string_view text, int *port) {
    int v = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || ptr != end || v < 1 || v > proto::kPortMax)
        return false;
    *port = v;
    return true;
}

// "HOST:PORT" split at the last colon; "[ADDR]:PORT" loses its brackets.
bool split_host_port(std::string_view text, std::string *host, std::string *port) {
    if (text.starts_with('[')) {
        size_t close = text.find("]:");
        int p = 0;
        if (close == std::string_view::npos || !parse_port(text.substr(close + 2), &p))
            return false;
        *host = std::string(text.substr(1, close - 1));
        *port = std::to_string(p);
        return !host->empty();
    }
    size_t colon = text.rfind(':');
    int p = 0;
    if (colon == std::string_view::npos || !parse_port(text.substr(colon + 1), &p)) return false;
    *host = std::string(text.substr(0, colon));
    *port = std::to_string(p);
    return true;
}

struct AddrInfoFree {
    void operator()(addrinfo *a) const { freeaddrinfo(a); }
};
using AddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

bool resolve(const std::string &host, const std::string &port, bool passive, AddrInfo *out,
             std::string *error) {
    addrinfo hints{};
    // "" and "*" have always meant every IPv4 address; "[::]" asks for both.
    bool any = host.empty() || host == "*";
    hints.ai_family = any ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo *res = nullptr;
    const char *node = host.empty() || host == "*" ? nullptr : host.c_str();
    int rc = getaddrinfo(node, port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    out->reset(res);
    return true;
}

bool bad_address(const std::string &where, const char *form, std::string *error) {
    *error = "bad link address \"" + where + "\": " + form + " expected";
    return false;
}

}  // namespace

bool parse_link(const std::string &link, LinkTarget *target, std::string *error) {
    constexpr std::string_view kExec = "exec:";
    constexpr std::string_view kTcpListen = "tcp-listen:";
    constexpr std::string_view kTcp = "tcp:";
    std::string_view s = link;
    std::string host, port;
    *target = LinkTarget{};
    if (s == "stdio") return true;
    if (s.starts_with(kExec)) {
        target->kind = LinkKind::kExec;
        target->command = std::string(s.substr(kExec.size()));
        if (target->command.empty()) {
            *error = "exec: link needs a command";
            return false;
        }
        return true;
    }
    if (s.starts_with(kTcpListen)) {
        target->kind = LinkKind::kTcpListen;
        target->where = std::string(s.substr(kTcpListen.size()));
        if (!split_host_port(target->where, &host, &port))
            return bad_address(target->where, "ADDR:PORT", error);
        return true;
    }
    if (s.starts_with(kTcp)) {
        target->kind = LinkKind::kTcp;
        target->where = std::string(s.substr(kTcp.size()));
        if (!split_host_port(target->where, &host, &port) || host.empty())
            return bad_address(target->where, "HOST:PORT", error);
        return true;
    }
    *error =
        "unknown link \"" + link + "\": stdio, exec:COMMAND, tcp-listen:ADDR:PORT or tcp:HOST:PORT";
    return false;
}

LinkEnds stdio_ends() {
    LinkEnds ends;
    ends.in_fd = 0;
    ends.out_fd = 1;
    return ends;
}

// What a tcp-listen: or tcp: address resolves to.  Returns false with
// error set otherwise.
bool tcp_addresses(const std::string &where, bool listening, AddrInfo *ai, std::string *error) {
    std::string host, port;
    if (!split_host_port(where, &host, &port) || (!listening && host.empty())) {
        bad_address(where, listening ? "ADDR:PORT" : "HOST:PORT", error);
        return false;
    }
    return resolve(host, port, listening, ai, error);
}

int new_socket(int family, std::string *error) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) *error = std::string("socket: ") + std::strerror(errno);
    return fd;
}

int tcp_listen(const std::string &where, std::string *error) {
    AddrInfo ai;
    if (!tcp_addresses(where, true, &ai, error)) return -1;
    Fd ls(new_socket(ai->ai_family, error));
    if (ls.get() < 0) return -1;
    int one = 1, zero = 0;
    setsockopt(ls.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // An IPv6 wildcard takes IPv4 connections too where the system lets it.
    if (ai->ai_family == AF_INET6)
        setsockopt(ls.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(ls.get(), ai->ai_addr, ai->ai_addrlen) != 0 ||
        ::listen(ls.get(), kListenBacklog) != 0) {
        *error = "cannot listen on " + where + ": " + std::strerror(errno);
        return -1;
    }
    return ls.release();
}

bool tcp_resolve(const std::string &where, std::vector<Address> *out, std::string *error) {
    AddrInfo ai;
    if (!tcp_addresses(where, false, &ai, error)) return false;
    out->clear();
    for (const addrinfo *a = ai.get(); a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address to;
        std::memcpy(&to.sa, a->ai_addr, a->ai_addrlen);
        to.len = a->ai_addrlen;
        out->push_back(to);
    }
    if (out->empty()) *error = "cannot resolve " + where + ": no address";
    return !out->empty();
}

std::string address_text(const sockaddr *sa, bool with_port) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    bool v6 = sa->sa_family == AF_INET6;
    if (v6) {
        const auto *s6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        port = ntohs(s6->sin6_port);
        // An IPv4 peer of a dual-stack listener is shown as IPv4, and counted
        // as the same source whichever socket it came to.
        if (IN6_IS_ADDR_V4MAPPED(&s6->sin6_addr)) {
            v6 = false;
            inet_ntop(AF_INET, s6->sin6_addr.s6_addr + 12, host, sizeof host);
        } else {
            inet_ntop(AF_INET6, &s6->sin6_addr, host, sizeof host);
        }
    } else if (sa->sa_family == AF_INET) {
        const auto *s4 = reinterpret_cast<const sockaddr_in *>(sa);
        inet_ntop(AF_INET, &s4->sin_addr, host, sizeof host);
        port = ntohs(s4->sin_port);
    }
    if (!with_port) return host;
    return v6 ? "[" + std::string(host) + "]:" + std::to_string(port)
              : std::string(host) + ":" + std::to_string(port);
}

int tcp_connect_start(const Address &to, const std::string &where, int *err, std::string *error) {
    Fd fd(new_socket(to.sa.ss_family, error));
    if (fd.get() < 0) {
        *err = errno;
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&to.sa), to.len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) {
        *err = errno;
        *error = "cannot connect to " + where + ": " + std::strerror(errno);
        return -1;
    }
    *err = 0;
    return fd.release();
}

int tcp_connect_error(int fd) {
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return errno;
    return e;
}

void tcp_tune(int fd, int user_timeout_ms) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    if (user_timeout_ms > 0) {
        unsigned int ms = static_cast<unsigned int>(user_timeout_ms);
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms);
    }
}

bool set_unsent_limit(int fd, size_t bytes) {
    int v = static_cast<int>(std::min<size_t>(bytes, INT32_MAX));
    return setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &v, sizeof v) == 0;
}

bool open_exec(const std::string &command, LinkEnds *ends, std::string *error) {
    if (command.empty()) {
        *error = "exec: link needs a command";
        return false;
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        ::close(sv[0]);
        ::close(sv[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls here.  The command must not inherit
        // an ignored SIGPIPE or a blocked signal mask from the daemon.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(sv[1], 0) < 0 || ::dup2(sv[1], 1) < 0) _exit(127);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(sv[1]);
    ends->in_fd = sv[0];
    ends->out_fd = sv[0];
    ends->child = pid;
    ends->is_tcp = false;
    return true;
}

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

namespace {

struct CctxFree {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DctxFree {
    void operator()(ZSTD_DCtx *c) const { ZSTD_freeDCtx(c); }
};

}  // namespace

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

bool compress(std::span<const uint8_t> in, std::vector<uint8_t> &out) {
    out.clear();
    if (in.empty()) return false;
    thread_local std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return false;
    out.resize(ZSTD_compressBound(in.size()));
    size_t n =
        ZSTD_compressCCtx(cctx.get(), out.data(), out.size(), in.data(), in.size(), kCompressLevel);
    if (ZSTD_isError(n) || n >= in.size()) {
        out.clear();
        return false;
    }
    out.resize(n);
    return true;
}

bool decompress(std::span<const uint8_t> in, std::vector<uint8_t> &out, size_t max_out) {
    out.clear();
    unsigned long long size = ZSTD_getFrameContentSize(in.data(), in.size());
    // Our frames always declare their size; an undeclared one cannot be bounded
    // before it is unpacked.
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > max_out)
        return false;
    // Exactly one frame: anything after it would be data nobody checked.
    size_t frame = ZSTD_findFrameCompressedSize(in.data(), in.size());
    if (ZSTD_isError(frame) || frame != in.size()) return false;
    thread_local std::unique_ptr<ZSTD_DCtx, DctxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return false;
    out.resize(static_cast<size_t>(size));
    size_t n = ZSTD_decompressDCtx(dctx.get(), out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(n) || n != size) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace vesk::transport
