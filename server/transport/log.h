// veskd's messages on standard error: "veskd: " and the text, one line each,
// control characters and bytes that are not UTF-8 shown as \xHH.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::log {

// 0: errors and notices of the link's life; 1 (-v): a line per event of the
// link, the daemon and each client (a state move of the link or the daemon,
// connected, closed with its totals, a connection made); 2 (-vv): every
// request, a client's or stream's state move, frame and flow control.
void set_verbosity(int level);
int verbosity();

// The text with its control characters (C0 and C1) and the bytes that are
// not UTF-8 shown as \xHH: names, addresses and requests from clients and
// the far end go into lines, and a newline, a terminal escape or a raw
// protocol byte in them must not forge or garble one.
std::string printable(std::string_view text);
// Length of the well-formed UTF-8 sequence at text[0], or 0 when none starts
// there.
size_t utf8_sequence(std::string_view text);

// What each line starts with, before ": " ("veskd" unless set): a veskd
// whose messages reach the other machine's log names its own.
void set_prefix(std::string prefix);

// Always printed.
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void notice(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Printed from verbosity 1 and 2 on.
void info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A state machine was asked for a move its table does not allow: a fault in
// veskd itself, never in its input.  Always printed as "WHO: illegal move
// from FROM to TO" (the end-to-end scripts look for it); asserts in debug
// builds.  The caller keeps its state: one wrong move must not end the daemon.
void illegal_move(const char *who, const char *from, const char *to);

// An error that a peer can make happen at will (a flood of bad connections):
// at most burst lines per interval; the next line printed says how many were
// held back.
class Limited {
  public:
    Limited(int interval_ms, unsigned burst) : interval_ms_(interval_ms), burst_(burst) {}
    void error(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

  private:
    int interval_ms_;
    unsigned burst_;
    int64_t window_ms_ = -1;  // start of the current interval
    unsigned printed_ = 0;    // lines in it
    unsigned held_ = 0;
};

}  // namespace vesk::log
