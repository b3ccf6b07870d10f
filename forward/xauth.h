// displink's entry in the user's X authority, kept through the xauth program:
// the cookie of the display it offers goes in at start-up and comes out when
// it ends, a signal included, with whatever the user had for that display
// put back.  Also the look-up of a cookie the user holds for another display.
#ifndef VESK_FORWARD_XAUTH_H
#define VESK_FORWARD_XAUTH_H

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::forward::xauth {

// The MIT-MAGIC-COOKIE-1 the user's authority holds for display (an xauth
// display name such as "host/unix:0").  Returns false when there is none or
// xauth cannot be run.
bool lookup(const std::string &display, std::vector<uint8_t> *cookie);

// First puts back what earlier displinks that died without cleaning up
// (KILL) replaced, by the records they left.  Then saves the user's entries
// for local display number in such a record beside the authority file, and
// adds cookie for it.  Returns false with a reason when xauth is missing or
// refuses, or the record cannot be written.  Arms remove_entry, which
// SIGTERM, SIGINT, SIGHUP and SIGQUIT then run before the process ends by
// the signal.
bool install(int number, const std::vector<uint8_t> &cookie, std::string *error);

// Takes the cookie out, puts the saved entries back and removes the record
// (kept when they could not be put back); does nothing unless install
// succeeded, and nothing the second time.  Async-signal-safe.
void remove_entry();

}  // namespace vesk::forward::xauth

#endif  // VESK_FORWARD_XAUTH_H
