// The TCP link's key check: both ends prove that they hold the same key
// file before a frame crosses, and derive the link's record keys from it.
// Blocking, with its own deadline: run it off the event loop.
#pragma once

#include <string>

#include "ends.h"
#include "record.h"

namespace vesk::transport {

// What a failed key check means for the next try: kWrongKey does not heal by
// waiting; kBusy (the listener holds a link already) may, once that ends.
enum class CheckFault { kOther, kWrongKey, kBusy };

// The listener's answer to a connection while a link is up: a key check
// message that tells the connecting end so, sent without blocking (the
// socket's buffer takes it whole).  Returns false when it could not be sent.
bool send_busy(int fd);

// The key check on a connected TCP socket: reads the key file and runs
// authenticate.  On success fills *ends with the socket and the record keys
// this check derived (fresh for every connection), ready for frames.
// Blocks for up to authenticate's timeout: run it off the event loop.
// Returns false with a reason (the socket is left to the caller) and, when
// fault is not null, what kind of failure it was.
bool key_check(int fd, const std::string &key_path, bool initiator, LinkEnds *ends,
               std::string *error, CheckFault *fault = nullptr);

// Mutual HMAC-SHA256 challenge and response on a connected socket, bounded by
// a 10 s timeout; one side passes initiator true, the other false.  Reads
// exactly the exchange's bytes, nothing after.  Returns true when the peer
// proved that it holds the same key, and then, when keys is not null, the
// record keys of this end derived from the key and both nonces; false with a
// reason on a refusal, a peer that closes or stalls, or one that does not
// speak the exchange, and then in *fault (when not null) its kind.
bool authenticate(int fd, const std::string &key, bool initiator, std::string *error,
                  record::Keys *keys = nullptr, CheckFault *fault = nullptr);

// The accepting end of authenticate without its I/O, so that a listener can
// run many exchanges on its event loop and none holds a thread.  It sends
// what authenticate's accepting end sends, in the same order.
class Acceptor {
  public:
    // Bytes of each message, hello or proof, and of a message's header.
    static constexpr size_t kMessageBytes = 37;
    static constexpr size_t kHeaderBytes = 5;
    // Whether the first n (up to kHeaderBytes) bytes of a hello can begin
    // the initiator's hello: a stranger is turned away at its first bytes.
    static bool hello_start_ok(const unsigned char *m, size_t n);
    // This end's hello, sent at once (the initiator waits for it), into
    // *hello.  Returns false with a reason when there are no random numbers.
    bool start(std::string *hello, std::string *error);
    // Takes the initiator's whole hello; fills *proof with what to send back.
    // Returns false with a reason for a foreign hello or a failure here.
    bool hello(const unsigned char *m, const std::string &key, std::string *proof,
               std::string *error);
    // Takes the initiator's proof; true and the record keys of this end when
    // it proves the key, else false with a reason and its kind.
    bool proof(const unsigned char *m, record::Keys *keys, std::string *error, CheckFault *fault);
    ~Acceptor();

  private:
    std::string key_;
    // A proof's MAC is as long as a nonce (HMAC-SHA256, 32 bytes).
    unsigned char my_nonce_[record::kNonceBytes] = {};
    unsigned char peer_nonce_[record::kNonceBytes] = {};
    unsigned char want_mac_[record::kNonceBytes] = {};
};

}  // namespace vesk::transport
