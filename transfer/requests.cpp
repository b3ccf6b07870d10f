// Requests with their replies read later, in order (requests.h).
#include "requests.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "failure.h"
#include "request.h"
#include "vesknet.h"

namespace vesk::transfer {

namespace {
// Requests gathered before they are written: a file's few requests go in
// one write, not one each (many small files cost as many writes, and the
// link server as many wake-ups).  Well below what a socket holds, so that a
// write never waits on replies nobody reads yet.
constexpr size_t kGatherMax = 16 * 1024;  // bytes
}  // namespace

void Requests::reset(int fd) {
    fd_ = fd;
    owed_.clear();
    settled_.clear();
    gathered_.clear();
}

bool Requests::flush() {
    if (gathered_.empty()) return true;
    std::string out;
    out.swap(gathered_);
    set_block(fd_);
    return request::write(fd_, out.data(), out.size()) == 1;
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

Requests::Ticket Requests::gather_v(int code, int local, const char *format, va_list ap) {
    char request[proto::kRequestMax];
    size_t len = 0;
    int rc = request::frame(request, &code, local, format, ap, &len);
    if (rc != 1) return settle(rc);
    gathered_.append(request, len);
    if (gathered_.size() >= kGatherMax && !flush()) return settle(-2);
    return sent(1, proto::has_reply(static_cast<char>(code)));
}

Requests::Ticket Requests::post(int code, int local, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Ticket t = gather_v(code, local, format, ap);
    va_end(ap);
    return t;
}

int Requests::call(int code, int local, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Ticket t = gather_v(code, local, format, ap);
    va_end(ap);
    flush();
    return collect(t);
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
    if (!owed_.empty() && owed_.front() <= t) flush();
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
    flush();
    while (!owed_.empty()) read_next();
    settled_.clear();
}

}  // namespace vesk::transfer
