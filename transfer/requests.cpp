// Requests with their replies read later, in order (requests.h).
#include "requests.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "failure.h"
#include "request.h"
#include "vesknet.h"

namespace vesk::transfer {

void Requests::reset(int fd) {
    fd_ = fd;
    owed_.clear();
    settled_.clear();
}

namespace {
// The reply (or the library's own text) com_result holds, up to its NUL.
std::string held_reply() {
    return std::string(com_result, strnlen(com_result, sizeof com_result));
}
}  // namespace

Requests::Ticket Requests::settle(int rc) {
    Ticket t = next_++;
    settled_[t] = Settled{rc, held_reply()};
    return t;
}

Requests::Ticket Requests::sent(int rc, bool owed) {
    if (rc != 1 || !owed) return settle(rc);
    Ticket t = next_++;
    owed_.push_back(t);
    return t;
}

Requests::Ticket Requests::post(int code, int local, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool owed = false;
    int rc = request::post_v(fd_, &owed, code, local, format, ap);
    va_end(ap);
    return sent(rc, owed);
}

int Requests::call(int code, int local, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool owed = false;
    int rc = request::post_v(fd_, &owed, code, local, format, ap);
    va_end(ap);
    return collect(sent(rc, owed));
}

void Requests::read_next() {
    Ticket t = owed_.front();
    owed_.pop_front();
    memset(com_result, 0, sizeof com_result);
    vesk::set_failure("no result forthcoming");
    int rc = request::read_reply(fd_);
    settled_[t] = Settled{rc, held_reply()};
}

int Requests::collect(Ticket t) {
    while (!settled_.count(t) && !owed_.empty() && owed_.front() <= t) read_next();
    auto it = settled_.find(t);
    if (it == settled_.end()) {
        vesk::set_failure("no result forthcoming");
        return -1;
    }
    const size_t kept = std::min(it->second.reply.size(), sizeof com_result - 1);
    memset(com_result, 0, sizeof com_result);
    memcpy(com_result, it->second.reply.data(), kept);
    com_result[kept] = '\0';
    command_result = com_result + vesk::kResultTextOffset;
    int rc = it->second.rc;
    settled_.erase(it);
    return rc;
}

void Requests::drain() {
    while (!owed_.empty()) read_next();
    settled_.clear();
}

}  // namespace vesk::transfer
