// veskd's messages on standard error: "veskd: " and the text, one line each.
#pragma once

namespace vesk::log {

// 0: errors and notices of the link's life; 1 (-v): every client and command;
// 2 (-vv): frames and flow control.
void set_verbosity(int level);
int verbosity();
void set_prefix(const char *prefix);

// Always printed.
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void notice(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Printed from verbosity 1 and 2 on.
void info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vesk::log
