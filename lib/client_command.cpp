// The command channel: one framed request per call, one NUL-terminated reply.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "request.h"
#include "vesknet.h"

int send_command(int fd, int code, int local, const char *format, ...) {
    char request[vesk::proto::kRequestMax];
    size_t len = 0;
    va_list ap;
    va_start(ap, format);
    int verdict = vesk::request::frame(request, &code, local, format, ap, &len);
    va_end(ap);
    if (verdict != 1) {
        return verdict;
    }
    unsigned long v = local ? vesk::proto::kLocalVersion : remote_vesk_version;

    if (code == 'c') {
        const char *text = request + 3;
        bool self = text[0] == '\0' || strcmp(text, "remotehost") == 0 ||
                    strcmp(text, vesk_remotehost) == 0;
        if (self) {
            if (v < vesk::proto::kFirstResolve || v >= vesk::proto::kFirstSelfAnsweredLocally) {
                vesk::set_failure("%lx %s", vesk_remoteaddr, vesk_remotehost);
                return 0;
            }
        } else if (v < vesk::proto::kFirstResolve) {
            return -1;
        }
    }

    int was_blocking = set_block(fd);
    if (vesk::request::write(fd, request, len) < 0) {
        return -2;
    }
    if (!vesk::proto::has_reply(static_cast<char>(code))) {
        return 1;
    }
    int r = vesk::request::read_reply(fd);
    if (r == -2) {
        return -2;
    }
    if (was_blocking == 0) {
        set_nonblock(fd);
    }
    return r;
}
