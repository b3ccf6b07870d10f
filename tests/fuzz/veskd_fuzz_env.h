// What the veskd fuzz harnesses share: a sandbox for the files their inputs
// name, a network of their own when the system allows one, a link whose far
// end the harness plays, a way to run veskd's loop a round at a time, and
// libFuzzer's entry points around the run each harness defines.
//
// Every file request is confined to the sandbox (Config's scopes).  Requests
// that reach the network ('A', 'c', 'W', 'X', 'T', 'V') run only inside a
// private user and network namespace, where nothing leaves the machine; where
// the system refuses one, the harnesses do not send them.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <ftw.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../support/farend.h"
#include "frame.h"
#include "log.h"
#include "loop.h"
#include "scope.h"
#include "session.h"
#include "workers.h"

// glibc's resolver keeps a buffer per thread that it never frees: not ours.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:__res_context_send\n";
}

namespace vesk_fuzz {

// Inputs between two sweeps of the sandbox.
constexpr int kSandboxSweepEvery = 256;
// How long the worker threads of an input may take to end, milliseconds.
constexpr int kWorkersEndMs = 2000;

struct Env {
    std::string top;   // holds the sandbox and a file outside it
    std::string root;  // the sandbox
    vesk::Scope scope;
    bool private_net = false;
};

inline bool write_text(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// A user and network namespace of this process's own, with loopback up.
inline bool enter_private_net() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    write_text("/proc/self/setgroups", "deny");
    if (!write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return false;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (s >= 0) close(s);
    return up;
}

// Codes whose requests reach the network.
inline bool network_code(uint8_t code) {
    return code != 0 && strchr("AcWXT8V", code) != nullptr;
}

struct Fixture {
    const char *name;
    char kind;  // 'f' file, 'd' directory, 'p' FIFO, 'l' symbolic link
    const char *content;
};
// Something of every kind, and links that stay inside and lead out.
constexpr Fixture kFixtures[] = {
    {"small", 'f', "small"},   {"dir", 'd', nullptr},         {"dir/inner", 'f', "inner"},
    {"fifo", 'p', nullptr},    {"in_link", 'l', "small"},     {"up_link", 'l', "../outside"},
    {"abs_link", 'l', "/etc"}, {"dir/back", 'l', "../small"},
};

inline void make_fixtures(const std::string &root) {
    for (const Fixture &f : kFixtures) {
        std::string p = root + "/" + f.name;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0) continue;
        if (f.kind == 'f') {
            int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                if (write(fd, f.content, strlen(f.content)) < 0) {
                }
                close(fd);
            }
        } else if (f.kind == 'd') {
            mkdir(p.c_str(), 0755);
        } else if (f.kind == 'p') {
            mkfifo(p.c_str(), 0644);
        } else if (symlink(f.content, p.c_str()) != 0) {
        }
    }
}

// Removes everything under root, fixtures included (they come back).
inline void clear_sandbox(const std::string &root) {
    nftw(
        root.c_str(),
        [](const char *path, const struct stat *, int, FTW *ftw) {
            if (ftw->level > 0) remove(path);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// Set up once: the namespaces, the sandbox, quiet logs.
inline Env &env() {
    static Env *e = [] {
        auto *made = new Env;
        made->private_net = enter_private_net();
        char tmpl[] = "/tmp/vesk-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            abort();
        }
        made->top = tmpl;
        made->root = made->top + "/root";
        mkdir(made->root.c_str(), 0755);
        int fd = open((made->top + "/outside").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
        make_fixtures(made->root);
        std::string why;
        if (!vesk::Scope::confine(made->root, &made->scope, &why)) {
            fprintf(stderr, "%s\n", why.c_str());
            abort();
        }
        // The sandbox goes with the run (a crash leaves it, beside the input).
        atexit([] {
            Env &gone = vesk_fuzz::env();
            clear_sandbox(gone.root);
            rmdir(gone.root.c_str());
            unlink((gone.top + "/outside").c_str());
            rmdir(gone.top.c_str());
        });
        vesk::log::set_verbosity(-1);
        fprintf(
            stderr, "veskd fuzz: sandbox %s, %s\n", made->root.c_str(),
            made->private_net ? "private network" : "no private network: network codes skipped");
        return made;
    }();
    return *e;
}

// Before each input: the fixtures are there, and now and then everything
// the inputs made (or changed the mode of) is swept away.
inline void reset_sandbox() {
    static int inputs = 0;
    Env &e = env();
    if (++inputs % kSandboxSweepEvery == 0) clear_sandbox(e.root);
    make_fixtures(e.root);
}

// After an input: every worker thread has ended, so that what the input
// allocated has been freed when libFuzzer looks for leaks.
inline void await_workers() {
    for (int ms = 0; ms < kWorkersEndMs && vesk::Workers::threads_alive() > 0; ms++) usleep(1000);
}

using farend::Link;
using farend::Owner;
using farend::spin;

// A session on the harness's link, every file request confined to the
// sandbox, up once the loop has run (spin) after it.
class Harness {
  public:
    Harness() : session_(loop_, config(), link_.ends(), owner_) {
        session_.start();
        link_.send_hello();
    }
    vesk::Loop &loop() { return loop_; }
    Link &link() { return link_; }
    vesk::Session &session() { return session_; }
    // A client of this end on a socket pair; returns the harness's end.
    int add_client() {
        int c[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, c) != 0) abort();
        session_.adopt(c[0], ucred{getpid(), getuid(), getgid()});
        return c[1];
    }

  private:
    static vesk::Config config() {
        vesk::Config c;
        c.far_files = env().scope;
        c.local_files = env().scope;
        c.alive_ms = 0;  // no liveness timers: an input is over in milliseconds
        return c;
    }

    // Destroyed in reverse: the session before the link and the loop.
    vesk::Loop loop_;
    Link link_;
    Owner owner_;
    vesk::Session session_;
};

// Reads the fuzzer's bytes as a stream of small fields.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool more() const { return p_ < end_; }
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::string_view take(size_t n) {
        n = std::min(n, size_t(end_ - p_));
        std::string_view v(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        return v;
    }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

}  // namespace vesk_fuzz

namespace vesk_fuzz {

// Reads what veskd wrote to a client's end.  Returns true when there was any.
inline bool drain(int fd) {
    char buf[65536];
    bool any = false;
    while (read(fd, buf, sizeof buf) > 0) any = true;
    return any;
}

// Each harness defines run: one input, fed to the fresh session of h, whose
// first client's end is client.
void run(Harness &h, int client, const uint8_t *data, size_t size);

}  // namespace vesk_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vesk_fuzz::env();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vesk_fuzz::reset_sandbox();
    {
        vesk_fuzz::Harness h;
        vesk_fuzz::spin(h.loop(), 2);
        int client = h.add_client();
        vesk_fuzz::run(h, client, data, size);
        close(client);
    }
    vesk_fuzz::await_workers();
    return 0;
}
