// The requests of one link-server connection with their replies read later,
// in order: a request whose reply cannot change what is sent next goes out
// at once, and its reply is read when it is needed.  Built on the library's
// request steps (lib/request.h).
#pragma once

#include <cstdarg>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace vesk::transfer {

// The errno code whose strerror() text is text, or 0 when none is: a far
// veskd says why a request failed in its strerror() words, which name the
// same code here (both ends' C libraries word their codes alike).
int far_errno(std::string_view text);

// What a request came to, as the caller reads it.
struct Reply {
    int status = -1;    // send_command's result: 1, 0 (answered here or dropped), -1, -2
    std::string text;   // the reply's text, or the library's own reason
    int far_error = 0;  // a failed far reply's errno code (far_errno), else 0
    bool failed() const { return status < 0; }
};

class Requests {
  public:
    using Ticket = long;

    // A fresh connection (or none, -1): nothing is owed on it.
    void reset(int fd);
    int fd() const { return fd_; }

    // Sends a request without waiting.  Returns the ticket whose collect()
    // gives the result send_command would have given.
    Ticket post(int code, int local, const char *format, ...) __attribute__((format(printf, 4, 5)));
    // Reads the replies owed up to the ticket's.  Returns its reply; the
    // library's com_result is the reading's scratch, not the answer.  A
    // ticket is collected once.
    Reply collect(Ticket t);
    // post() then collect(): a request whose reply decides what comes next.
    Reply call(int code, int local, const char *format, ...) __attribute__((format(printf, 4, 5)));
    // Reads every reply still owed and forgets the results nobody collected.
    void drain();
    // Writes the requests posted and not yet written (call, collect and
    // drain do it first).  Returns false when the socket failed.  Whoever
    // writes on the connection itself flushes first.
    bool flush();

  private:
    Ticket settle(int rc);
    Ticket gather_v(int code, int local, const char *format, va_list ap)
        __attribute__((format(printf, 4, 0)));
    Ticket sent(int rc, bool owed);
    void read_next();

    int fd_ = -1;
    Ticket next_ = 0;
    std::deque<Ticket> owed_;
    std::map<Ticket, Reply> settled_;
    std::string gathered_;  // framed requests not yet written
};

}  // namespace vesk::transfer
