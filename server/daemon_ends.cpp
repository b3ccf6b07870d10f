// What becomes of a link's ends once their session is over: closed, or a
// serial device put back as it was, and an exec: command's process reaped,
// politely first.  Part of Daemon (see daemon.h).
#include "daemon.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace vesk {
namespace {
// An exec: command may take this long to end after its link closed cleanly;
// then it gets SIGTERM (and SIGCONT, in case it is stopped), and this long
// again before SIGKILL, ms.  After a lost link SIGTERM goes at once: a
// command stuck on a dead link would only hold up the next try.
constexpr int kChildGraceMs = 2000;
// Polling of a child at veskd's end, ms.
constexpr int kReapPollMs = 50;
// After a link over an exec: command was lost, how long the command may take
// to be seen ending, ms: enough for one that ended first, short enough not
// to hold up the loop for one that goes on.
constexpr int kCommandEndMs = 200;

void close_ends(const transport::LinkEnds &e) {
    if (e.in_fd >= 0) close(e.in_fd);
    if (e.out_fd >= 0 && e.out_fd != e.in_fd) close(e.out_fd);
}
}  // namespace

// ---- ends that no session uses ----

void Daemon::close_link_ends(const transport::LinkEnds &ends) {
    if (serial_ && ends.in_fd == serial_->fd()) return serial_->close();
    close_ends(ends);
}

void Daemon::retire_session(bool lost, bool keep_ends) {
    if (!session_) return;
    dead_sessions_.push_back(std::move(session_));
    if (!keep_ends) {
        dead_ends_.push_back(DeadEnds{ends_, lost, std::move(serial_)});
        ends_ = transport::LinkEnds{};
    }
    // Not now: the session's link is still in the call stack.
    if (bury_timer_ == 0) {
        bury_timer_ = loop_.after(0, [this] {
            bury_timer_ = 0;
            bury();
        });
    }
}

void Daemon::bury() {
    dead_sessions_.clear();
    for (const auto &dead : dead_ends_) {
        if (dead.port) {
            dead.port->close();
        } else {
            close_ends(dead.ends);
        }
        if (dead.ends.child > 0) reap_later(dead.ends.child, dead.lost);
    }
    dead_ends_.clear();
}

// ---- exec: children ----

std::string Daemon::command_ended() {
    // The command's end and the link's come together, but not in one
    // instant: give it a moment to be reaped.
    int status = 0;
    pid_t got = 0;
    for (int waited = 0; waited <= kCommandEndMs; waited += kReapPollMs / 5) {
        got = waitpid(ends_.child, &status, WNOHANG);
        if (got != 0) break;
        usleep(kReapPollMs / 5 * 1000);
    }
    if (got != ends_.child) return "";
    ends_.child = -1;  // reaped: nothing is left to signal
    std::string what = "the link command (" + log::printable(opt_.link.command) + ")";
    if (WIFEXITED(status))
        return what + " exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return what + " was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "";
}

void Daemon::reap_later(pid_t child, bool lost) {
    if (lost) {
        kill(child, SIGTERM);
        kill(child, SIGCONT);
    }
    children_.push_back(Child{child, monotonic_ms(), lost});
}

void Daemon::reap_children(bool wait) {
    for (;;) {
        int64_t now = monotonic_ms();
        for (auto it = children_.begin(); it != children_.end();) {
            if (waitpid(it->pid, nullptr, WNOHANG) == it->pid) {
                it = children_.erase(it);
                continue;
            }
            if (!it->termed && now - it->since_ms >= kChildGraceMs) {
                kill(it->pid, SIGTERM);
                kill(it->pid, SIGCONT);
                it->termed = true;
                it->since_ms = now;
            } else if (it->termed && now - it->since_ms >= kChildGraceMs) {
                kill(it->pid, SIGKILL);
                waitpid(it->pid, nullptr, 0);
                it = children_.erase(it);
                continue;
            }
            ++it;
        }
        if (!wait || children_.empty()) return;
        usleep(kReapPollMs * 1000);
    }
}

}  // namespace vesk
