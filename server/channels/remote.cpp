// A channel of the far end's client, served here (see remote.h).
#include "remote.h"

#include <algorithm>

#include "log.h"
#include "messages.h"
#include "session.h"

namespace vesk {

RemoteSide::RemoteSide(Session &session, ChanKey key)
    : session_(session), key_(key), runner_(session, *this, key, true) {}

RemoteSide::~RemoteSide() {
    session_.budget().give(FarBudget::kBytes, FarBudget::kChannelBytes + charged_);
}

bool RemoteSide::charge(size_t n) {
    if (!session_.budget().take(FarBudget::kBytes, n)) {
        lose("the far end holds too much here");
        return false;
    }
    charged_ += n;
    return true;
}

void RemoteSide::uncharge(size_t n) {
    n = std::min(n, charged_);
    session_.budget().give(FarBudget::kBytes, n);
    charged_ -= n;
}

bool RemoteSide::in_service() const {
    return owed_ || session_.link().queued_answers(key_) > 0;
}

void RemoteSide::request(std::string_view payload) {
    if (dead_) return;
    bool too_long = payload.size() > kRequestPayloadMax;
    if (waiting_.empty() && !in_service()) return start(payload, too_long);
    if (waiting_requests_ >= kWaitingMax)
        return lose("the far end sent requests without waiting for their replies");
    // Only the code of an over-long request is kept: it is refused anyway.
    std::string kept(too_long ? payload.substr(0, 1) : payload);
    if (!charge(kept.size())) return;
    waiting_.push_back(Waiting{Waiting::kRequest, std::move(kept), too_long});
    waiting_requests_++;
}

void RemoteSide::data_in(std::string_view bytes) {
    if (dead_) return;
    if (runner_.held() + waiting_data_ + bytes.size() > window_.size())
        return lose("the far end sent beyond its credit");
    // Given back as the CommandRunner passes it on (consumed).
    if (!charge(bytes.size())) return;
    if (waiting_.empty() && !in_service()) return runner_.data_in(bytes);
    waiting_.push_back(Waiting{Waiting::kData, std::string(bytes)});
    waiting_data_ += bytes.size();
}

void RemoteSide::eof_in() {
    if (dead_) return;
    if (waiting_.empty() && !in_service()) return runner_.eof_in();
    waiting_.push_back(Waiting{Waiting::kEof, {}});
}

void RemoteSide::drained() {
    if (dead_) return;
    runner_.outlet_room();
    serve();
}

void RemoteSide::serve() {
    // The CommandRunner may answer from within start(): the loop below goes on.
    if (serving_) return;
    serving_ = true;
    while (!dead_ && !waiting_.empty() && !in_service()) {
        Waiting w = std::move(waiting_.front());
        waiting_.pop_front();
        switch (w.kind) {
            case Waiting::kRequest:
                waiting_requests_--;
                uncharge(w.bytes.size());
                start(w.bytes, w.too_long);
                break;
            case Waiting::kData:
                waiting_data_ -= w.bytes.size();
                runner_.data_in(w.bytes);
                break;
            case Waiting::kEof:
                runner_.eof_in();
                break;
        }
    }
    serving_ = false;
}

void RemoteSide::start(std::string_view payload, bool too_long) {
    if (payload.empty()) {
        owed_ = true;
        return reply(false, proto::kBadRequest);
    }
    char code = payload[0];
    std::string_view arg = payload.substr(1);
    owed_ = proto::answer(code) != proto::Answer::None;
    if (log::verbosity() >= 2)
        log::debug("channel %u: far '%c' %.*s", chan_id(key_), code,
                   int(std::min<size_t>(arg.size(), 80)), arg.data());
    if (too_long) {
        if (proto::has_reply(code)) return reply(false, proto::kRequestTooLong);
        owed_ = false;
        return;
    }
    if (!session_.knows(code)) {
        log::info("channel %u: refused '%c' (not known to version %lu)", chan_id(key_), code,
                  session_.reported_version());
        if (proto::has_reply(code)) return reply(false, proto::kUnsupported);
        owed_ = false;
        return;
    }
    runner_.request(code, arg);
}

void RemoteSide::reply(bool ok, std::string_view text) {
    owed_ = false;
    if (dead_) return;
    std::string p(1, ok ? proto::kReplyOk : proto::kReplyFailed);
    p.append(text.substr(0, kRequestTextMax));
    // The next request waits until this has left: drained() goes on.
    session_.link().send(key_, frame::kReply, p);
}

bool RemoteSide::data_room() const {
    return !dead_ && session_.link().data_room(key_) > 0;
}

void RemoteSide::data(std::string_view bytes) {
    if (!dead_) session_.link().send_data(key_, bytes);
}

void RemoteSide::eof() {
    if (!dead_) session_.link().send(key_, frame::kEof);
}

void RemoteSide::data_reset() {
    owed_ = false;
    if (dead_) return;
    session_.link().send(key_, frame::kDataReset);
}

void RemoteSide::closed() {
    if (dead_) return;
    dead_ = true;
    session_.link().send(key_, frame::kClose);
    session_.link().release(key_);
    session_.remote_gone(chan_id(key_));
}

void RemoteSide::lose(const char *why) {
    if (dead_) return;
    log::error("channel %u: %s, closing it", chan_id(key_), why);
    dead_ = true;
    waiting_.clear();
    session_.link().drop(key_);
    session_.link().send(key_, frame::kClose);
    session_.link().release(key_);
    session_.remote_gone(chan_id(key_));
}

void RemoteSide::consumed(size_t n) {
    uncharge(n);
    if (dead_) return;
    session_.link().grant(key_, window_.consumed(n, monotonic_us(), session_.rtt_us()));
}

}  // namespace vesk
