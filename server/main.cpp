// veskd: the link server.  One runs on each machine; the two are joined by
// one byte stream and serve the clients on their Unix sockets.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "daemon.h"
#include "decimal.h"
#include "descriptors.h"
#include "keyfile.h"
#include "linkarg.h"
#include "log.h"
#include "loop.h"
#include "session.h"
#include "sockdir.h"
#include "status.h"

namespace {

constexpr const char *kUsage =
    "Usage: veskd [-t suffix] [-S 0|1|2] [-v] [--protocol-version N] [--key FILE]\n"
    "             [--x11-socket PATH] [--frame BYTES] [--alive SECONDS] [--reconnect]\n"
    "             [--root DIR] [--trust-line] --link LINK\n"
    "       veskd [-t suffix] [-S 0|1|2] --status [--json]\n"
    "       veskd --genkey FILE\n"
    "LINK: stdio | exec:COMMAND | tcp-listen:ADDR:PORT | tcp:HOST:PORT |\n"
    "      serial:DEVICE:SPEED[:OPTIONS]   (OPTIONS: rtscts,xonxoff,carrier)\n"
    "--alive: by default 90 s on stdio, exec: and serial: links, 30 s with\n"
    "         --trust-line and on TCP\n"
    "--reconnect: every link kind but tcp-listen: (which always listens again)\n";
// Longest --alive, seconds: a day of silence is no link.
constexpr unsigned long kAliveMaxS = 24 * 60 * 60;

int g_signal_pipe[2] = {-1, -1};

// What the command line asks for.
struct Options {
    vesk::Config config;
    vesk::LinkOptions link;
    std::string link_arg, genkey_path;
    int verbosity = 0;
    bool show_status = false, json = false, alive_given = false;
};

// What parsing left to do: go on, or exit with this status.
constexpr int kGoOn = -1;

enum {
    kOptVersion = 1000,
    kOptLink,
    kOptKey,
    kOptX11,
    kOptFrame,
    kOptAlive,
    kOptReconnect,
    kOptHelp,
    kOptShowVersion,
    kOptGenkey,
    kOptRoot,
    kOptTrustLine,
    kOptStatus,
    kOptJson
};

const option kLongOptions[] = {
    {"protocol-version", required_argument, nullptr, kOptVersion},
    {"link", required_argument, nullptr, kOptLink},
    {"key", required_argument, nullptr, kOptKey},
    {"x11-socket", required_argument, nullptr, kOptX11},
    {"frame", required_argument, nullptr, kOptFrame},
    {"alive", required_argument, nullptr, kOptAlive},
    {"reconnect", no_argument, nullptr, kOptReconnect},
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptShowVersion},
    {"genkey", required_argument, nullptr, kOptGenkey},
    {"root", required_argument, nullptr, kOptRoot},
    {"trust-line", no_argument, nullptr, kOptTrustLine},
    {"status", no_argument, nullptr, kOptStatus},
    {"json", no_argument, nullptr, kOptJson},
    {nullptr, 0, nullptr, 0},
};

// A decimal count from lo to hi: digits only, so "-1", " 5" and "5k" are refused.
bool parse_count(const char *s, unsigned long lo, unsigned long hi, unsigned long *out) {
    long v;
    if (*s < '0' || *s > '9' || !vesk::parse_long(s, long(lo), long(hi), &v)) return false;
    *out = static_cast<unsigned long>(v);
    return true;
}

// The options that take a number.  Returns kGoOn, or 1 after a message.
int number_option(int c, const char *arg, Options *o) {
    unsigned long v;
    switch (c) {
        case kOptVersion:
            if (!parse_count(arg, 1, 0xffffffffUL, &v)) {
                fprintf(stderr, "veskd: bad protocol version '%s'\n", arg);
                return 1;
            }
            o->config.version = v;
            return kGoOn;
        case kOptFrame:
            if (!parse_count(arg, vesk::Link::kFrameMin, vesk::frame::kDataMax, &v)) {
                fprintf(stderr, "veskd: --frame takes %zu to %zu bytes\n", vesk::Link::kFrameMin,
                        vesk::frame::kDataMax);
                return 1;
            }
            o->config.frame_max = v;
            return kGoOn;
        default:  // kOptAlive
            if (!parse_count(arg, 0, kAliveMaxS, &v)) {
                fprintf(stderr, "veskd: --alive takes 0 (off) to %lu seconds\n", kAliveMaxS);
                return 1;
            }
            o->config.alive_ms = int(v * 1000);
            o->alive_given = true;
            return kGoOn;
    }
}

// One option of the command line.  Returns kGoOn, or the status to exit
// with (--help, --version, or a message for a bad one).
int one_option(int c, const char *arg, Options *o) {
    std::string why;
    switch (c) {
        case 't':
            o->config.suffix = arg;
            return kGoOn;
        case 'S':
            if (strcmp(arg, "0") && strcmp(arg, "1") && strcmp(arg, "2")) {
                fprintf(stderr, "veskd: -S takes 0, 1 or 2\n%s", kUsage);
                return 1;
            }
            o->config.share = atoi(arg);
            return kGoOn;
        case 'v':
            o->verbosity++;
            return kGoOn;
        case kOptVersion:
        case kOptFrame:
        case kOptAlive:
            return number_option(c, arg, o);
        case kOptLink:
            o->link_arg = arg;
            return kGoOn;
        case kOptKey:
            o->link.key_path = arg;
            return kGoOn;
        case kOptX11:
            o->config.x11_socket = arg;
            return kGoOn;
        case kOptReconnect:
            o->link.reconnect = true;
            return kGoOn;
        case kOptTrustLine:
            o->config.checked_frames = false;
            return kGoOn;
        case kOptHelp:
            fputs(kUsage, stdout);
            return 0;
        case kOptShowVersion:
            printf("veskd %s\n", VESK_VERSION);
            return 0;
        case kOptRoot:
            // The far end's file requests stay beneath DIR.
            if (vesk::Scope::confine(arg, &o->config.far_files, &why)) return kGoOn;
            fprintf(stderr, "veskd: %s\n", why.c_str());
            return 1;
        case kOptGenkey:
            o->genkey_path = arg;
            return kGoOn;
        case kOptStatus:
            o->show_status = true;
            return kGoOn;
        case kOptJson:
            o->json = true;
            return kGoOn;
        default:
            fputs(kUsage, stderr);
            return 1;
    }
}

// The command line into *o.  Returns kGoOn with optind past the options,
// or the status to exit with.
int parse_options(int argc, char **argv, Options *o) {
    int c;
    while ((c = getopt_long(argc, argv, "t:S:v", kLongOptions, nullptr)) != -1) {
        int status = one_option(c, optarg, o);
        if (status != kGoOn) return status;
    }
    return kGoOn;
}

// --genkey and --status, which do their work and exit; anything else but a
// link to serve is a usage error.  Returns kGoOn to serve, else the status.
int one_shot(const Options &o, bool args_left) {
    if (!o.genkey_path.empty() && !args_left) {
        std::string why;
        if (!vesk::keyfile::generate(o.genkey_path, &why)) {
            vesk::log::error("%s", why.c_str());
            return 1;
        }
        vesk::log::notice("wrote a new key to %s; copy it to the other machine's veskd",
                          o.genkey_path.c_str());
        return 0;
    }
    if (o.show_status && !args_left) {
        std::string report, why;
        if (!vesk::status::ask(vesk::sockdir::path_of(o.config.share, o.config.suffix), o.json,
                               &report, &why)) {
            fprintf(stderr, "veskd: %s\n", why.c_str());
            return 1;
        }
        fputs(report.c_str(), stdout);
        return 0;
    }
    if (o.json || o.show_status || args_left || o.link_arg.empty()) {
        fputs(kUsage, stderr);
        return 1;
    }
    return kGoOn;
}

// What can be checked before a link: the link argument, the suffix, and
// that no other veskd serves here (the socket's path is filled in).
// Returns false after a message.
bool check_config(Options *o) {
    vesk::log::set_verbosity(o->verbosity);
    std::string error;
    o->link.link_text = o->link_arg;
    if (!vesk::transport::parse_link(o->link_arg, &o->link.link, &error)) {
        vesk::log::error("%s", error.c_str());
        return false;
    }
    if (!o->alive_given)
        o->config.alive_ms = vesk::default_alive_ms(o->link.link.kind, o->config.checked_frames);
    // A stdio end is mostly the far end of an exec: link (ssh, socat), whose
    // messages land in the near end's log: there they must say where from.
    if (o->link.link.kind == vesk::transport::LinkKind::kStdio) {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
            vesk::log::set_prefix(std::string("veskd@") + host);
    }
    if (!o->config.suffix.empty() && o->config.suffix.find('/') != std::string::npos) {
        vesk::log::error("the suffix must not contain '/'");
        return false;
    }
    // Refuse early, before a link is made, when another veskd serves here.
    if (!vesk::sockdir::prepare(o->config.share, o->config.suffix, &o->config.socket_path,
                                &error)) {
        vesk::log::error("%s", error.c_str());
        return false;
    }
    return true;
}

void on_signal(int sig) {
    int saved = errno;
    char c = char(sig);
    if (write(g_signal_pipe[1], &c, 1) < 0) {
        // Nothing to do in a handler; the pipe is full of wake-ups already.
    }
    errno = saved;
}

// SIGTERM, SIGINT and SIGHUP wake the loop through g_signal_pipe; SIGPIPE is
// ignored.  Returns false after a message.
bool catch_signals() {
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        vesk::log::error("pipe: %s", strerror(errno));
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    return true;
}

// Runs the daemon until it ends.  Returns veskd's exit status.
int serve(Options &o) {
    // Every forwarded connection costs a descriptor or two: use what the
    // hard limit allows.
    vesk::raise_descriptor_limit();
    if (!catch_signals()) return 1;
    // The daemon goes before the loop it runs on; its end closes the link,
    // removes the socket and reaps the link command.
    vesk::Loop loop;
    // One pool of worker threads for every link this veskd serves.
    o.config.workers = std::make_shared<vesk::Workers>(loop.mailbox());
    int status = 1;
    {
        vesk::Daemon daemon(loop, o.config, o.link);
        loop.add(g_signal_pipe[0], EPOLLIN, [&](uint32_t) {
            char sig;
            while (read(g_signal_pipe[0], &sig, 1) > 0) {
            }
            daemon.stop();
        });
        std::string error;
        if (!daemon.start(&error)) {
            vesk::log::error("%s", error.c_str());
            return 1;
        }
        if (loop.run()) status = daemon.exit_status();
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status != kGoOn) return status;
    status = one_shot(o, optind != argc);
    if (status != kGoOn) return status;
    if (!check_config(&o)) return 1;
    return serve(o);
}
