// The work a channel's commands do on this machine (see peer.h): the
// dispatch to each command's unit, and the link's settings and statistics.
#include "peer.h"

#include <climits>
#include <cstdio>
#include <string>

#include "decimal.h"
#include "log.h"
#include "session.h"
#include "udp.h"

namespace vesk {

Peer::Peer(Session &session, Outlet &outlet, ChanKey key, bool remote)
    : session_(session),
      outlet_(outlet),
      key_(key),
      remote_(remote),
      budget_(remote ? &session.budget() : nullptr),
      udp_(session.udp()),
      files_(session.loop(), outlet, session.scope(remote), key),
      off_(session.workers(), remote ? Workers::Origin::Far : Workers::Origin::Local, outlet,
           remote ? &session.budget() : nullptr),
      stream_(session.loop(), outlet, key, off_) {}

Peer::~Peer() {
    udp_.drop_owner(key_);
    if (budget_) budget_->give(FarBudget::kFiles, fds_charged_);
}

void Peer::settle() {
    if (!budget_) return;
    size_t now = files_.descriptors() + size_t(stream_.has_socket());
    if (now > fds_charged_)
        budget_->force(FarBudget::kFiles, now - fds_charged_);
    else
        budget_->give(FarBudget::kFiles, fds_charged_ - now);
    fds_charged_ = now;
}

namespace {
// Codes whose work opens a file or a socket here.
bool opens_descriptor(char code) {
    return code == '6' || code == '1' || code == '7' || code == 'A' || code == 'X' || code == '8';
}
}  // namespace

void Peer::reply(bool ok, std::string_view text) {
    outlet_.reply(ok, text);
}

void Peer::request(char code, std::string_view arg) {
    // Data before a command is in the file before the command acts.
    files_.flush();
    settle();
    if (budget_ && opens_descriptor(code) &&
        budget_->held(FarBudget::kFiles) >= budget_->max(FarBudget::kFiles)) {
        log::error("channel %u: too many open files for the far end, refusing '%c'", chan_id(key_),
                   code);
        return reply(false, kTooManyFiles);
    }
    dispatch(code, arg);
    settle();
}

void Peer::dispatch(char code, std::string_view arg) {
    switch (code) {
        case 'F': {
            long what = 0;
            if (!arg.empty() && !parse_long(arg, LONG_MIN / 2, LONG_MAX / 2, &what))
                return reply(false, "Bad statistics request");
            return reply(true, session_.stats(what, key_));
        }
        case 'C': {
            long v;
            if (!parse_long(arg, INT_MIN, INT_MAX, &v))
                return reply(false, "Bad compression setting");
            session_.set_compress(key_, v > 0);
            return reply(true, v > 0 ? "compression on" : "compression off");
        }
        case 'd':
        case 'B': {
            long v;
            bool ok = parse_long(arg, INT_MIN, INT_MAX, &v);
            if (ok) session_.set_priority(key_, int(v));
            if (code == 'B') reply(ok, ok ? "priority set" : "Bad priority");
            return;
        }
        case 'D':
            return off_.status(arg, session_.scope(remote_));
        case '6':
        case '1':
        case 'E':
        case 'M':
        case 'O':
        case '7':
        case '2':
        case 'Z':
        case 'K':
        case 'Y':
        case 'k':
        case 'J':
            return files_.request(code, arg);
        case 'A':
            return stream_.connect_tcp(arg);
        case 'X':
        case '8':
            return stream_.connect_unix(session_.map_socket_path(std::string(arg)));
        case 'e':
            log::info("channel %u: connection from %.*s", chan_id(key_), int(arg.size()),
                      arg.data());
            return;
        case '9':
            log::info("channel %u: %.*s", chan_id(key_), int(arg.size()), arg.data());
            return;
        case 'c':
            return off_.resolve(arg, session_.host(), session_.addr());
        case 'V':
        case 'T':
        case 'W': {
            std::string why;
            bool ok = udp_.command(code, arg, key_, remote_, &why);
            return reply(ok, ok ? "OK" : why);
        }
        case proto::kStatusCode:
            // veskd's state is for those who may use its socket.
            return reply(false, "status is answered for local clients only");
        case 'g':
        case 'h':
        case 'f':
        case 'N':
            log::debug("channel %u: command '%c' has no effect here", chan_id(key_), code);
            return;
        default: {
            // A code without a reply gets none even when unknown: the client
            // would take it for the answer to its next request.
            if (!proto::has_reply(code)) {
                log::info("channel %u: unknown command '%c' ignored", chan_id(key_), code);
                return;
            }
            char text[64];
            snprintf(text, sizeof text, "Unknown command '%c' (%d)", code, code);
            return reply(false, text);
        }
    }
}

void Peer::data_in(std::string_view bytes) {
    if (files_.data_in(bytes)) return;
    stream_.data_in(bytes);
}

void Peer::eof_in() {
    // A client that half-closes after '7' still gets the whole file.
    stream_.eof_in(!files_.reading());
    settle();
}

void Peer::outlet_room() {
    files_.outlet_room();
    stream_.outlet_room();
    settle();
}

}  // namespace vesk
