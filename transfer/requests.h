// The requests of one link-server connection with their replies read later,
// in order: a request whose reply cannot change what is sent next goes out
// at once, and its reply is read when it is needed.  Built on the library's
// request steps (lib/request.h).
#pragma once

#include <cstdarg>
#include <deque>
#include <map>
#include <string>

namespace vesk::transfer {

class Requests {
  public:
    using Ticket = long;

    // A fresh connection (or none, -1): nothing is owed on it.
    void reset(int fd);
    int fd() const { return fd_; }

    // Sends a request without waiting.  Returns the ticket whose collect()
    // gives the result send_command would have given.
    Ticket post(int code, int local, const char *format, ...) __attribute__((format(printf, 4, 5)));
    // Reads the replies owed up to the ticket's.  Returns its result, with
    // its text in command_result.  A ticket is collected once.
    int collect(Ticket t);
    // post() then collect(): a request whose reply decides what comes next.
    int call(int code, int local, const char *format, ...) __attribute__((format(printf, 4, 5)));
    // Reads every reply still owed and forgets the results nobody collected.
    void drain();
    // Writes the requests posted and not yet written (call, collect and
    // drain do it first).  Returns false when the socket failed.  Whoever
    // writes on the connection itself flushes first.
    bool flush();

  private:
    struct Settled {
        int rc;
        std::string reply;  // com_result as the request left it
    };
    Ticket settle(int rc);
    Ticket gather_v(int code, int local, const char *format, va_list ap)
        __attribute__((format(printf, 4, 0)));
    Ticket sent(int rc, bool owed);
    void read_next();

    int fd_ = -1;
    Ticket next_ = 0;
    std::deque<Ticket> owed_;
    std::map<Ticket, Settled> settled_;
    std::string gathered_;  // framed requests not yet written
};

}  // namespace vesk::transfer
