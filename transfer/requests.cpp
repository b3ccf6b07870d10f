// Requests with their replies read later, in order (requests.h).
#include "requests.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "request.h"
#include "vesknet.h"

namespace vesk::transfer {

namespace {
// Requests gathered before they are written: a file's few requests go in
// one write, not one each (many small files cost as many writes, and the
// link server as many wake-ups).  Well below what a socket holds, so that a
// write never waits on replies nobody reads yet.
constexpr size_t kGatherMax = 16 * 1024;  // bytes

// Past the highest errno code Linux has (133 in 2024), with room for more;
// beyond it strerror() only says "Unknown error N".
constexpr int kErrnoCodesMax = 256;
}  // namespace

int far_errno(std::string_view text) {
    // Built once: the lowest code wins where two share a text.
    static const std::unordered_map<std::string, int> codes = [] {
        std::unordered_map<std::string, int> m;
        for (int code = 1; code < kErrnoCodesMax; ++code) m.emplace(strerror(code), code);
        return m;
    }();
    auto it = codes.find(std::string(text));
    return it == codes.end() ? 0 : it->second;
}

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
// The reply (or the library's own text) that the library's steps left in
// com_result, taken out of it.
Reply held_reply(int rc) {
    Reply r;
    r.status = rc;
    const size_t len = strnlen(com_result, sizeof com_result);
    if (len > kResultTextOffset)
        r.text.assign(com_result + kResultTextOffset, len - kResultTextOffset);
    // Only a failed reply from a server carries the far end's reason; the
    // library's own texts ("XXX") are no errno's.
    if (rc == -1 && com_result[0] == proto::kMessageStart && com_result[2] == proto::kReplyFailed)
        r.far_error = far_errno(r.text);
    return r;
}
}  // namespace

Requests::Ticket Requests::settle(int rc) {
    Ticket t = next_++;
    settled_[t] = held_reply(rc);
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

Reply Requests::call(int code, int local, const char *format, ...) {
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
    settled_[t] = held_reply(rc);
}

Reply Requests::collect(Ticket t) {
    if (!owed_.empty() && owed_.front() <= t) flush();
    while (!settled_.count(t) && !owed_.empty() && owed_.front() <= t) read_next();
    auto it = settled_.find(t);
    if (it == settled_.end()) return Reply{-1, "no result forthcoming", 0};
    Reply r = std::move(it->second);
    settled_.erase(it);
    return r;
}

void Requests::drain() {
    flush();
    while (!owed_.empty()) read_next();
    settled_.clear();
}

}  // namespace vesk::transfer
