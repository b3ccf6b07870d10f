// The work a channel's commands do on this machine (see runner.h): the far
// end's budget around each command, and its hand-over through the table.
#include "runner.h"

#include "dispatch.h"
#include "log.h"
#include "session.h"
#include "udp.h"

namespace vesk {

CommandRunner::CommandRunner(Session &session, Outlet &outlet, ChanKey key, bool remote)
    : session_(session),
      outlet_(outlet),
      key_(key),
      remote_(remote),
      budget_(remote ? &session.budget() : nullptr),
      udp_(session.udp()),
      files_(session.loop(), outlet, session.scope(remote), key),
      off_(session.workers(), remote ? Workers::Origin::kFar : Workers::Origin::kLocal, outlet,
           remote ? &session.budget() : nullptr),
      stream_(session.loop(), outlet, key, off_) {}

CommandRunner::~CommandRunner() {
    udp_.drop_owner(key_);
    if (budget_) budget_->give(FarBudget::kFiles, fds_charged_);
}

void CommandRunner::settle() {
    if (!budget_) return;
    size_t now = files_.descriptors() + size_t(stream_.has_socket());
    if (now > fds_charged_)
        budget_->force(FarBudget::kFiles, now - fds_charged_);
    else
        budget_->give(FarBudget::kFiles, fds_charged_ - now);
    fds_charged_ = now;
}

void CommandRunner::request(char code, std::string_view arg) {
    // Data before a command is in the file before the command acts.
    files_.flush();
    settle();
    if (budget_ && proto::opens(code) != proto::Opens::Nothing &&
        budget_->held(FarBudget::kFiles) >= budget_->max(FarBudget::kFiles)) {
        log::error("channel %u: too many open files for the far end, refusing '%c'", chan_id(key_),
                   code);
        return outlet_.reply(false, kTooManyFiles);
    }
    dispatch::Units units{session_, outlet_, key_, remote_, udp_, files_, off_, stream_};
    dispatch::serve(units, code, arg);
    settle();
}

void CommandRunner::data_in(std::string_view bytes) {
    if (files_.data_in(bytes)) return;
    stream_.data_in(bytes);
}

void CommandRunner::eof_in() {
    // A client that half-closes after '7' still gets the whole file.
    stream_.eof_in(!files_.reading());
    settle();
}

void CommandRunner::outlet_room() {
    files_.outlet_room();
    stream_.outlet_room();
    settle();
}

}  // namespace vesk
