// One request on the command channel, in steps: framing it (version rules
// and the argument text), writing it, and reading one reply.  send_command
// runs the steps back to back; a client that pipelines runs them apart,
// several requests out before their replies are read, in order.  Internal
// and header-only: a program linked against the shared library compiles its
// own copy, and the library exports no name for it.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "vesknet.h"

namespace vesk::request {

// Frames code (0 stands for 'F') to the local or the remote server into
// request[proto::kRequestMax].  Returns 1 with *len the bytes to write and *code
// the code as sent (after any old form); otherwise the call's result as
// send_command gives it (-1 refused, 0 dropped), the reason in com_result.
__attribute__((format(printf, 4, 0))) inline int frame(char *request, int *code, int local,
                                                       const char *format, va_list ap,
                                                       size_t *len) {
    request[0] = proto::kMessageStart;
    request[1] = local ? proto::kToNear : proto::kToFar;
    vesk::set_failure(proto::kUnsupported);
    if (*code == 0) *code = 'F';
    unsigned long v = local ? proto::kLocalVersion : remote_vesk_version;
    const proto::Command *c = proto::find_command(static_cast<char>(*code));
    if (c != nullptr && !proto::version_knows(v, c->code)) {
        if (c->old_form == '\0') return c->refused_result;
        *code = static_cast<unsigned char>(c->old_form);
    }
    request[2] = static_cast<char>(*code);
    // Format into a scratch one byte larger than the text may be, so that an
    // over-long text is detected instead of being cut onto the wire.  The text
    // ends at its first NUL: a NUL produced by the format (a "%c" of 0) ends the
    // request there, as the server reads it, rather than smuggling the rest in
    // as a second request.
    size_t n = 0;
    if (format != nullptr) {
        char text[proto::kRequestTextMax + 2];
        int got = vsnprintf(text, sizeof text, format, ap);
        n = got < 0 ? sizeof text : strlen(text);
        if (n > proto::kRequestTextMax) {
            vesk::set_failure("Argument text too long");
            return -1;
        }
        memcpy(request + 3, text, n + 1);
    } else {
        request[3] = '\0';
    }
    *len = 4 + n;
    return 1;
}

// A server that ends a connection because its link went down leaves the
// reason behind as a failed reply.  Puts its text in com_result when one is
// waiting whole on fd; returns whether one was.
inline bool take_parting_reply(int fd) {
    char got[sizeof com_result];
    ssize_t r = recv(fd, got, sizeof got - 1, MSG_DONTWAIT);
    if (r <= static_cast<ssize_t>(kResultTextOffset) || got[0] != '@' ||
        memchr(got, '\0', static_cast<size_t>(r)) == nullptr)
        return false;
    vesk::set_failure("%s", got + kResultTextOffset);
    return true;
}

// Writes a framed request in one call.  Returns 1, or -2 when the socket
// failed ("Write error" in com_result, or the reason the server left when it
// closed the connection).  Afterwards com_result reads "no result
// forthcoming" until a reply is read.
inline int write(int fd, const char *request, size_t len) {
    vesk::set_failure("Write error");
    // A server that has gone away must give -2, not kill the caller with SIGPIPE.
    ssize_t sent = send(fd, request, len, MSG_NOSIGNAL);
    if (sent < 0 && errno == ENOTSOCK) sent = ::write(fd, request, len);
    if (sent < 0) {
        take_parting_reply(fd);
        return -2;
    }
    memset(com_result, 0, sizeof com_result);
    vesk::set_failure("no result forthcoming");
    return 1;
}

// Reads one reply into com_result without taking anything after its NUL
// off the socket: it looks at what has arrived (MSG_PEEK) and takes that up
// to the NUL, two calls a reply where a byte at a time took one a byte
// (many small files cost as many replies).  Not a socket: a byte at a time.
// Returns 1 for a whole reply with status 'd', -1 for any other (a stream
// that ends inside one, even after a 'd', included; what was received stays
// over the pre-set text, which shows where it was cut), -2 when a read
// failed.  The socket must be blocking.
inline int read_reply(int fd) {
    command_result = com_result + vesk::kResultTextOffset;
    constexpr size_t kKeep = sizeof com_result - 1;  // an over-long reply's tail is dropped
    size_t pos = 0;
    bool whole = false;
    bool peekable = true;
    while (!whole) {
        char chunk[256];
        ssize_t n = peekable ? recv(fd, chunk, sizeof chunk, MSG_PEEK) : 1;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOTSOCK) {
            peekable = false;
            continue;
        }
        if (n < 0) return -2;
        if (n == 0) break;
        size_t take = static_cast<size_t>(n);
        if (peekable) {
            const void *nul = memchr(chunk, '\0', take);
            if (nul) take = static_cast<size_t>(static_cast<const char *>(nul) - chunk) + 1;
        }
        ssize_t r = read(fd, chunk, take);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -2;
        if (r == 0) break;
        for (ssize_t i = 0; i < r; ++i) {
            if (chunk[i] == '\0') {
                whole = true;
                if (pos < kKeep) com_result[pos] = '\0';
                break;
            }
            if (pos < kKeep) com_result[pos++] = chunk[i];
        }
    }
    com_result[sizeof com_result - 1] = '\0';
    return whole && com_result[2] == proto::kReplyOk ? 1 : -1;
}

// Frames and writes a request without reading its reply (the socket is left
// blocking).  Returns 1 when it went, with *owed telling whether a reply
// will come for it; otherwise what send_command would return (-1, 0, -2)
// with the reason in com_result.  'c' is not for this path: its local
// answer needs no request.
__attribute__((format(printf, 5, 0))) inline int post_v(int fd, bool *owed, int code, int local,
                                                        const char *format, va_list ap) {
    char request[proto::kRequestMax];
    size_t len = 0;
    *owed = false;
    int verdict = frame(request, &code, local, format, ap, &len);
    if (verdict != 1) return verdict;
    set_block(fd);
    if (write(fd, request, len) < 0) return -2;
    *owed = proto::has_reply(static_cast<char>(code));
    return 1;
}

// post_v with the argument text's values given in line.
__attribute__((format(printf, 5, 6))) inline int post(int fd, bool *owed, int code, int local,
                                                      const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = post_v(fd, owed, code, local, format, ap);
    va_end(ap);
    return r;
}

}  // namespace vesk::request
