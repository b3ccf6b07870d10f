// A client connection on this veskd's socket (see client.h): reading its
// requests, sending them near or far, and writing replies and stream data back.
#include "client.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "decimal.h"
#include "log.h"
#include "messages.h"
#include "session.h"

namespace vesk {
namespace {
// Unprocessed client bytes held before reading pauses, bytes.
constexpr size_t kClientInHigh = 64 * 1024;
// Bytes held for the client at most: a full credit window of far data, and
// replies and local data past the high mark (their producers look at the
// mark only between pieces).
constexpr size_t kOutCap = Window::kMax + 2 * Client::kOutHigh;
}  // namespace

namespace {
// A status report may run past one ordinary reply (a line per client) and is
// never cut, as a cut JSON object is no object: one that outgrows what is
// held for a client ends the connection, and the asker says so.
constexpr size_t kStatusUncut = std::string_view::npos;
}  // namespace

Client::Client(Session &session, int fd, uint32_t id, const ucred &cred)
    : session_(session), fd_(fd), id_(id), in_(kClientInHigh + kReadChunk), out_(kOutCap) {
    info_.id = id;
    info_.pid = cred.pid;
    info_.uid = cred.uid;
    info_.since_ms = monotonic_ms();
    session_.loop().add(fd_, EPOLLIN, [this](uint32_t ev) { on_event(ev); });
}

Client::~Client() {
    if (state_ != State::kDead) {
        session_.loop().remove(fd_);
        close(fd_);
    }
}

CommandRunner &Client::local() {
    if (!local_) local_ = std::make_unique<CommandRunner>(session_, *this, key(), false);
    return *local_;
}

const char *Client::state_name(State s) {
    switch (s) {
        case State::kOpen:
            return "open";
        case State::kInputEnded:
            return "input-ended";
        case State::kEofPassed:
            return "eof-passed";
        case State::kClosing:
            return "closing";
        case State::kDead:
            return "dead";
    }
    return "?";
}

bool Client::legal_move(State from, State to) {
    // Forward only, and an end is passed on only after it came.
    return to > from && !(from == State::kOpen && to == State::kEofPassed);
}

void Client::set_state(State to) {
    if (to == state_) return;
    if (!legal_move(state_, to)) {
        std::string who = "client " + std::to_string(id_);
        return log::illegal_move(who.c_str(), state_name(state_), state_name(to));
    }
    log::debug("client %u: %s -> %s", id_, state_name(state_), state_name(to));
    state_ = to;
}

void Client::close_when_flushed() {
    if (state_ < State::kClosing) set_state(State::kClosing);
}

void Client::ensure_open() {
    if (opened_) return;
    opened_ = true;
    session_.link().send(key(), frame::kOpen);
}

void Client::on_event(uint32_t ev) {
    if (ev & EPOLLOUT) write_client();
    if (dead()) return;
    if (watching_hangup_ && (ev & (EPOLLHUP | EPOLLERR))) return hung_up_waiting();
    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_client();
}

void Client::hung_up_waiting() {
    hangup_seen_ = true;
    char next;
    ssize_t r = recv(fd_, &next, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r <= 0 && in_.empty()) {
        log::info("client %u: gone before its answer", id_);
        return finish();
    }
    update_events();
}

void Client::read_client() {
    if (state_ != State::kOpen) return;
    if (in_.size() >= kClientInHigh) return;
    size_t want = kReadChunk;
    if (mode_ != Mode::kCommand && target_remote_) {
        if (feed_full()) return;
        want = std::min(want, feed_room() - in_.size());
    }
    ssize_t r = in_.read_from(fd_, want);
    if (r < 0) {
        if (errno == EAGAIN) return;
        log::info("client %u: read failed: %s", id_, strerror(errno));
        return finish();
    }
    if (r == 0) set_state(State::kInputEnded);
    info_.bytes_in += uint64_t(r);
    process();
}

bool Client::take_request() {
    size_t avail = in_.size();
    if (avail == 0) return false;
    const char *p = in_.peek().data();
    if (p[0] != proto::kMessageStart) {
        log::info("client %u: not a request, closing", id_);
        send_reply(proto::kToNear, false, proto::kBadRequest);
        close_when_flushed();
        in_.clear();
        return false;
    }
    const char *nul = static_cast<const char *>(memchr(p, 0, std::min(avail, proto::kRequestMax)));
    if (!nul) {
        if (avail >= proto::kRequestMax) {
            log::info("client %u: request too long, closing", id_);
            send_reply(proto::kToNear, false, proto::kRequestTooLong);
            close_when_flushed();
            in_.clear();
        }
        return false;
    }
    size_t len = size_t(nul - p);
    if (len < 3) {
        in_.consume(len + 1);
        send_reply(proto::kToNear, false, proto::kBadRequest);
        return true;
    }
    // Taken before it is served, as whatever runs meanwhile must see it.
    char dir = p[1], code = p[2];
    std::string arg(p + 3, len - 3);
    in_.consume(len + 1);
    request(dir, code, arg);
    return true;
}

void Client::note_opens(char code, bool remote) {
    switch (proto::opens(code)) {
        case proto::Opens::FileSink:
            sink_remote_ = remote;
            break;
        case proto::Opens::Stream:
            stream_remote_ = remote;
            break;
        case proto::Opens::FileSource:
        case proto::Opens::Nothing:
            break;
    }
}

void Client::request(char dir, char code, std::string_view arg) {
    if (log::verbosity() >= 2)
        log::debug("client %u: %s '%c' %.*s", id_, dir == proto::kToFar ? "far" : "local", code,
                   int(std::min<size_t>(arg.size(), 80)), arg.data());
    if (const char *kind = proto::kind(code); kind && info_.kind == ClientInfo{}.kind)
        info_.kind = kind;
    if (dir == proto::kToNear && code == proto::kStatusCode)
        return send_reply(dir, true, session_.status_report(arg == proto::kStatusJson),
                          kStatusUncut);
    if (dir == proto::kToFar) {
        ensure_open();
        std::string payload(1, code);
        payload.append(arg);
        session_.link().send(key(), frame::kRequest, payload);
        note_opens(code, true);
        if (proto::answer(code) == proto::Answer::DataReset) discard_ = true;
        far_sent(code);
        return;
    }
    if (dir != proto::kToNear) {
        if (proto::has_reply(code)) send_reply(dir, false, proto::kBadRequest);
        return;
    }
    switch (proto::mode(code)) {
        case proto::Mode::Dump: {
            // A dump of no bytes, or fewer, starts nothing: say so.
            long n = 0;
            bool ok = parse_long(arg, 1, LONG_MAX, &n);
            if (ok) {
                mode_ = Mode::kDump;
                dump_left_ = n;
                target_remote_ = sink_remote_;
            }
            if (proto::has_reply(code)) send_reply(dir, ok, ok ? "dump started" : "Bad count");
            return;
        }
        case proto::Mode::Stream:
            mode_ = Mode::kStream;
            target_remote_ = stream_remote_;
            if (target_remote_) ensure_open();
            return;
        case proto::Mode::Command:
            break;
    }
    note_opens(code, false);
    // Some local answers come later (a name lookup, a checksum): read no
    // further requests until this one is answered, as for far requests.
    if (proto::has_reply(code)) pending_local_++;
    local().request(code, arg);
}

size_t Client::far_ahead_max() const {
    return RemoteSide::waiting_max(session_.link().far().server_version);
}

void Client::far_sent(char code) {
    if (pending_remote_ > 0) far_ahead_++;
    if (!proto::has_reply(code)) return;
    if (pending_remote_ == 0) far_ahead_ = 1;
    pending_remote_++;
    far_owed_.push_back(proto::opens(code) != proto::Opens::Nothing);
}

bool Client::far_may_go_ahead() const {
    if (far_ahead_ >= far_ahead_max()) return false;
    // Behind a request that opens something, what follows depends on its
    // answer (the far end streams a file or a socket after it).
    for (bool opening : far_owed_)
        if (opening) return false;
    size_t avail = in_.size();
    return avail >= 2 && in_.peek()[0] == proto::kMessageStart && in_.peek()[1] == proto::kToFar;
}

size_t Client::feed_room() const {
    if (target_remote_) return session_.link().data_room(key());
    return !local_ || local_->held() < CommandRunner::kInHigh ? SIZE_MAX : 0;
}

bool Client::feed_full() const {
    // On a slow link the data read ahead is held to what the link takes, so
    // that the client's progress follows the link, not this buffer.
    size_t room = feed_room();
    return room == 0 || (target_remote_ && in_.size() >= room);
}

void Client::feed(std::string_view bytes) {
    if (target_remote_) {
        ensure_open();
        session_.link().send_data(key(), bytes);
    } else {
        local().data_in(bytes);
    }
}

void Client::process() {
    // Feeding the local CommandRunner can call back here; run the loop once at a time.
    if (in_process_) {
        process_again_ = true;
        return;
    }
    in_process_ = true;
    do {
        process_again_ = false;
        process_input();
    } while (process_again_ && !dead());
    in_process_ = false;
    maybe_done();
    if (!dead()) update_events();
}

void Client::process_input() {
    while (state_ < State::kClosing) {
        size_t avail = in_.size();
        if (mode_ == Mode::kCommand) {
            // Replies keep request order: a local request waits for every
            // reply, a far one only for local replies (the far end answers
            // its requests in order), within the far end's slack.
            if (pending_local_ > 0) break;
            if (pending_remote_ > 0 && !far_may_go_ahead()) break;
            if (out_.queue().size() >= kOutHigh) break;  // it does not read its replies
            if (!take_request()) break;
            continue;
        }
        size_t room = avail == 0 ? 0 : feed_room();
        if (room == 0) break;
        size_t n = std::min(avail, room);
        if (mode_ == Mode::kDump) n = size_t(std::min<int64_t>(int64_t(n), dump_left_));
        feed(in_.peek().substr(0, n));
        in_.consume(n);
        if (mode_ == Mode::kDump) {
            dump_left_ -= int64_t(n);
            if (dump_left_ == 0) mode_ = Mode::kCommand;
        }
    }
    if (state_ == State::kInputEnded && in_.empty() && mode_ == Mode::kStream) {
        // Pass the half-close on, once.
        if (target_remote_) {
            if (opened_) session_.link().send(key(), frame::kEof);
        } else if (local_) {
            local_->eof_in();
        }
        // Passing it to the local stream can end the client on the spot (the
        // stream's write fails and closes it, or the client's own write
        // does): the later state stands.
        if (state_ == State::kInputEnded) set_state(State::kEofPassed);
    }
}

void Client::update_events() {
    if (dead()) return;
    uint32_t ev = 0;
    bool blocked =
        (mode_ == Mode::kCommand &&
         (pending_local_ > 0 || (pending_remote_ > 0 && far_ahead_ >= far_ahead_max()))) ||
        (mode_ != Mode::kCommand && feed_full());
    if (state_ == State::kOpen && in_.size() < kClientInHigh && !blocked) ev |= EPOLLIN;
    if (out_.wants_write()) ev |= EPOLLOUT;
    // Waiting for an answer and reading nothing meanwhile: still hear a
    // hang-up, which epoll reports whatever the mask (the bit only keeps the
    // socket in epoll), so that the work for a client that left can stop.
    watching_hangup_ = ev == 0 && !hangup_seen_ && mode_ == Mode::kCommand &&
                       (pending_remote_ > 0 || pending_local_ > 0);
    if (watching_hangup_) ev = EPOLLHUP;
    session_.loop().modify(fd_, ev);
}

void Client::send_reply(char dir, bool ok, std::string_view text, size_t max) {
    if (dead()) return;
    text = text.substr(0, max);
    std::string reply = {proto::kMessageStart, dir, ok ? proto::kReplyOk : proto::kReplyFailed};
    for (char c : text) reply += c == '\0' ? ' ' : c;
    reply += '\0';
    if (!out_.put(reply)) return overflow();
    write_client();
}

void Client::overflow() {
    log::error("client %u: more than %zu bytes held for it, closing", id_, kOutCap);
    finish();
}

void Client::write_client(std::string_view fresh) {
    if (dead()) return;
    bool refused = false;
    OneWay::Moved m = fresh.empty() ? out_.pump(-1, fd_) : out_.give(fd_, fresh, &refused);
    if (m.error != 0) {
        log::info("client %u: write failed: %s", id_, strerror(m.error));
        return finish();
    }
    if (refused) return overflow();
    info_.bytes_out += m.written;
    size_t far = std::min(far_pending_, m.written);
    if (far > 0) {
        far_pending_ -= far;
        uint32_t grant = window_.consumed(far, monotonic_us(), session_.rtt_us());
        if (opened_) session_.link().grant(key(), grant);
    }
    if (local_) local_->outlet_room();
    // Requests that waited for their replies to be read can go on now.
    if (!dead() && mode_ == Mode::kCommand && !in_.empty() && out_.queue().size() < kOutHigh)
        process();
    maybe_done();
    if (!dead()) update_events();
}

void Client::maybe_done() {
    if (dead()) return;
    bool input_ended = state_ == State::kInputEnded || state_ == State::kEofPassed;
    if (input_ended && mode_ != Mode::kStream && pending_remote_ == 0 && pending_local_ == 0 &&
        !input_left())
        close_when_flushed();
    if (state_ == State::kEofPassed && mode_ == Mode::kStream && out_.ended()) close_when_flushed();
    if (state_ == State::kClosing && out_.queue().empty()) finish();
}

bool Client::input_left() const {
    if (in_.empty()) return false;
    if (mode_ != Mode::kCommand) return true;
    std::string_view held = in_.peek();
    return held[0] != proto::kMessageStart || held.size() >= proto::kRequestMax ||
           memchr(held.data(), 0, std::min(held.size(), proto::kRequestMax)) != nullptr;
}

void Client::finish() {
    if (dead()) return;
    set_state(State::kDead);
    session_.loop().remove(fd_);
    close(fd_);
    if (opened_) {
        session_.link().send(key(), frame::kClose);
        session_.link().release(key());
    }
    // The local CommandRunner may be the caller; it goes with this object after the
    // current batch of events.
    // One line for the client's whole life at -v; its steps are at -vv.
    log::info("client %u (%s, pid %d) closed after %.1f s: %llu bytes from it, %llu to it", id_,
              info_.kind, int(info_.pid), double(monotonic_ms() - info_.since_ms) / 1000,
              (unsigned long long)info_.bytes_in, (unsigned long long)info_.bytes_out);
    session_.client_gone(id_);
}

void Client::abort(std::string_view why) {
    opened_ = false;
    // Only where the next bytes the client reads are a reply: never into a
    // stream, or a far file's bytes (a partial copy must not take the text
    // in as data).
    if (!dead() && mode_ != Mode::kStream && pending_remote_ > 0 && !far_data_since_reply_ &&
        !why.empty()) {
        for (int i = 0; i < pending_remote_; i++) send_reply(proto::kToFar, false, why);
        write_client();  // what the socket takes now; the rest is lost with it
    }
    finish();
}

void Client::far_reply(std::string_view payload) {
    if (dead()) return;
    if (pending_remote_ == 0) {
        // It answers nothing: passing it on would shift every later reply,
        // and holding it would let the far end fill this end's memory.
        log::debug("client %u: a reply with no request pending, dropped", id_);
        return;
    }
    pending_remote_--;
    far_data_since_reply_ = false;
    far_owed_.pop_front();
    if (pending_remote_ == 0) far_ahead_ = 0;
    bool ok = !payload.empty() && payload[0] == proto::kReplyOk;
    if (!payload.empty()) payload.remove_prefix(1);
    send_reply(proto::kToFar, ok, payload);
    process();
}

void Client::far_data(std::string_view bytes) {
    if (dead()) return;
    if (discard_ || out_.ended()) {
        // Nowhere to go: credit it back at once so that the far end is not
        // stalled.
        session_.link().grant(key(),
                              window_.consumed(bytes.size(), monotonic_us(), session_.rtt_us()));
        return;
    }
    if (far_pending_ + bytes.size() > window_.size()) {
        // The far end ignores the credit this end granted: holding what it
        // sends would let it fill this end's memory.
        log::error("client %u: the far end sent beyond its credit, closing", id_);
        return finish();
    }
    far_pending_ += bytes.size();
    far_data_since_reply_ = true;
    write_client(bytes);
}

void Client::far_eof() {
    if (discard_ || dead()) return;
    out_.end();
    write_client();
}

void Client::far_close() {
    if (dead()) return;
    session_.link().drop(key());
    opened_ = false;
    close_when_flushed();
    write_client();
}

void Client::far_data_reset() {
    discard_ = false;
}

void Client::link_drained() {
    if (dead()) return;
    process();
}

void Client::reply(bool ok, std::string_view text) {
    if (pending_local_ > 0) pending_local_--;
    send_reply(proto::kToNear, ok, text);
    // The reply may have come later than the request: go on with the rest.
    if (!in_process_) process();
}

bool Client::data_room() const {
    return !dead() && out_.queue().size() < kOutHigh;
}

void Client::data(std::string_view bytes) {
    if (!out_.put(bytes)) return overflow();
    write_client();
}

void Client::eof() {
    out_.end();
    write_client();
}

void Client::closed() {
    close_when_flushed();
    write_client();
}

void Client::consumed(size_t) {
    // The local CommandRunner took stream bytes: more may be fed.
    if (!dead() && mode_ != Mode::kCommand) process();
}

}  // namespace vesk
