// The command channel: one framed request per call, one NUL-terminated reply.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <cerrno>
#include <sys/socket.h>

#include "commands.h"
#include "vesknet.h"

namespace {

using vesk::proto::kRequestTextMax;

// Returns the code to send, or sets *verdict to the call's result (-1 or 0)
// when the server is too old for the code and it has no old form.
int translate(int code, unsigned long v, int *verdict) {
    *verdict = 1;
    const vesk::proto::Command *c = vesk::proto::find_command(static_cast<char>(code));
    if (c == nullptr || vesk::proto::version_knows(v, c->code)) {
        return code;
    }
    if (c->old_form != '\0') {
        return c->old_form;
    }
    *verdict = c->refused_result;
    return code;
}

}  // namespace

int send_command(int fd, int code, int local, const char *format, ...) {
    char request[1024];
    request[0] = '@';
    request[1] = local ? '?' : '>';
    snprintf(com_result, sizeof com_result, "XX%cUnsupported vesk option", 'X');
    command_result = com_result + 3;
    if (code == 0) {
        code = 'F';
    }
    unsigned long v = local ? vesk::proto::kLocalVersion : remote_vesk_version;
    int verdict = 1;
    code = translate(code, v, &verdict);
    if (verdict != 1) {
        return verdict;
    }
    request[2] = static_cast<char>(code);

    // Format into a scratch one byte larger than the text may be, so that an
    // over-long text is detected instead of being cut onto the wire.  The text
    // ends at its first NUL: a NUL produced by the format (a "%c" of 0) ends the
    // request there, as the server reads it, rather than smuggling the rest in
    // as a second request.
    size_t n = 0;
    if (format != nullptr) {
        char text[kRequestTextMax + 2];
        va_list ap;
        va_start(ap, format);
        int len = vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
        n = len < 0 ? sizeof text : strlen(text);
        if (n > kRequestTextMax) {
            snprintf(com_result, sizeof com_result, "XX%cArgument text too long", 'X');
            return -1;
        }
        memcpy(request + 3, text, n + 1);
    } else {
        request[3] = '\0';
    }

    if (code == 'c') {
        const char *text = request + 3;
        bool self = text[0] == '\0' || strcmp(text, "remotehost") == 0 ||
                    strcmp(text, vesk_remotehost) == 0;
        if (self) {
            if (v < vesk::proto::kFirstResolve || v >= vesk::proto::kFirstSelfAnsweredLocally) {
                snprintf(com_result, sizeof com_result, "XX%c%lx %s", 'X', vesk_remoteaddr,
                         vesk_remotehost);
                return 0;
            }
        } else if (v < vesk::proto::kFirstResolve) {
            return -1;
        }
    }

    int was_blocking = set_block(fd);
    snprintf(com_result, sizeof com_result, "XX%cWrite error", 'X');
    // A server that has gone away must give -2, not kill the caller with SIGPIPE.
    ssize_t sent = send(fd, request, 4 + n, MSG_NOSIGNAL);
    if (sent < 0 && errno == ENOTSOCK) sent = write(fd, request, 4 + n);
    if (sent < 0) {
        return -2;
    }
    memset(com_result, 0, sizeof com_result);
    snprintf(com_result, sizeof com_result, "XX%cno result forthcoming", 'X');
    if (!vesk::proto::has_reply(static_cast<char>(code))) {
        return 1;
    }

    // Only a reply that arrives whole up to its NUL counts: a stream that ends
    // inside one (even after a 'd') is a failed command.  What was received
    // stays over the pre-set text, which shows where the reply was cut.
    size_t pos = 0;
    bool whole = false;
    for (;;) {
        if (pos >= sizeof com_result - 1) {
            // Over-long reply: drop the tail but consume it up to its NUL so
            // the next reply on this socket starts in step.
            char c;
            ssize_t r = read(fd, &c, 1);
            if (r < 0) {
                return -2;
            }
            if (r == 0) {
                break;
            }
            if (c == '\0') {
                whole = true;
                break;
            }
            continue;
        }
        ssize_t r = read(fd, com_result + pos, 1);
        if (r < 0) {
            return -2;
        }
        if (r == 0) {
            break;
        }
        if (com_result[pos] == '\0') {
            whole = true;
            break;
        }
        ++pos;
    }
    com_result[sizeof com_result - 1] = '\0';
    if (was_blocking == 0) {
        set_nonblock(fd);
    }
    return whole && com_result[2] == 'd' ? 1 : -1;
}
