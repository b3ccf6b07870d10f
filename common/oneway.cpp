// OneWay (see oneway.h): one relay direction's read, write and half-close.
#include "oneway.h"

#include <cerrno>
#include <sys/socket.h>

namespace vesk {

bool OneWay::put(std::string_view bytes) {
    if (ended_) return true;
    return queue_.append(bytes);
}

OneWay::Moved OneWay::give(int dst, std::string_view bytes, bool *refused) {
    *refused = false;
    Moved m = pump(-1, dst);
    if (m.error != 0 || ended_ || bytes.empty()) return m;
    if (queue_.empty()) {
        ssize_t put = write_some(dst, bytes.data(), bytes.size());
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m.error = errno;
            stop();
            return m;
        }
        if (put > 0) {
            m.written += size_t(put);
            bytes.remove_prefix(size_t(put));
        }
    }
    if (!bytes.empty() && !queue_.append(bytes)) *refused = true;
    return m;
}

OneWay::Moved OneWay::pump(int src, int dst) {
    Moved m;
    while (!done_) {
        while (!queue_.empty()) {
            ssize_t put = queue_.write_to(dst);
            if (put < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                m.error = errno;
                stop();
                if (src >= 0) shutdown(src, SHUT_RD);
                return m;
            }
            m.written += size_t(put);
        }
        if (ended_ && queue_.empty()) {
            shutdown(dst, SHUT_WR);
            done_ = true;
            break;
        }
        if (src < 0 || !wants_read()) break;
        ssize_t got = queue_.read_from(src);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) {
            ended_ = true;
            continue;
        }
        m.read += size_t(got);
    }
    return m;
}

}  // namespace vesk
