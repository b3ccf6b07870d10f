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
    "--alive: 90 s on stdio, exec: and serial: links, 30 s on TCP\n"
    "--reconnect: every link kind but tcp-listen: (which always listens again)\n";
// Longest --alive, seconds: a day of silence is no link.
constexpr unsigned long kAliveMaxS = 24 * 60 * 60;

int g_signal_pipe[2] = {-1, -1};

// A decimal count from lo to hi: digits only, so "-1", " 5" and "5k" are refused.
bool parse_count(const char *s, unsigned long lo, unsigned long hi, unsigned long *out) {
    long v;
    if (*s < '0' || *s > '9' || !vesk::parse_long(s, long(lo), long(hi), &v)) return false;
    *out = static_cast<unsigned long>(v);
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

}  // namespace

int main(int argc, char **argv) {
    vesk::Config config;
    vesk::LinkOptions link;
    std::string link_arg, genkey_path;
    int verbosity = 0;
    bool show_status = false, json = false, alive_given = false;
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
    static const option longopts[] = {
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
    int c;
    while ((c = getopt_long(argc, argv, "t:S:v", longopts, nullptr)) != -1) {
        switch (c) {
            case 't':
                config.suffix = optarg;
                break;
            case 'S':
                if (strcmp(optarg, "0") && strcmp(optarg, "1") && strcmp(optarg, "2")) {
                    fprintf(stderr, "veskd: -S takes 0, 1 or 2\n%s", kUsage);
                    return 1;
                }
                config.share = atoi(optarg);
                break;
            case 'v':
                verbosity++;
                break;
            case kOptVersion: {
                unsigned long v;
                if (!parse_count(optarg, 1, 0xffffffffUL, &v)) {
                    fprintf(stderr, "veskd: bad protocol version '%s'\n", optarg);
                    return 1;
                }
                config.version = v;
                break;
            }
            case kOptLink:
                link_arg = optarg;
                break;
            case kOptKey:
                link.key_path = optarg;
                break;
            case kOptX11:
                config.x11_socket = optarg;
                break;
            case kOptFrame: {
                unsigned long v;
                if (!parse_count(optarg, vesk::Link::kFrameMin, vesk::frame::kDataMax, &v)) {
                    fprintf(stderr, "veskd: --frame takes %zu to %zu bytes\n",
                            vesk::Link::kFrameMin, vesk::frame::kDataMax);
                    return 1;
                }
                config.frame_max = v;
                break;
            }
            case kOptAlive: {
                unsigned long v;
                if (!parse_count(optarg, 0, kAliveMaxS, &v)) {
                    fprintf(stderr, "veskd: --alive takes 0 (off) to %lu seconds\n", kAliveMaxS);
                    return 1;
                }
                config.alive_ms = int(v * 1000);
                alive_given = true;
                break;
            }
            case kOptReconnect:
                link.reconnect = true;
                break;
            case kOptTrustLine:
                config.checked_frames = false;
                break;
            case kOptHelp:
                fputs(kUsage, stdout);
                return 0;
            case kOptShowVersion:
                printf("veskd %s\n", VESK_VERSION);
                return 0;
            case kOptRoot: {
                // The far end's file requests stay beneath DIR.
                std::string why;
                if (!vesk::Scope::confine(optarg, &config.far_files, &why)) {
                    fprintf(stderr, "veskd: %s\n", why.c_str());
                    return 1;
                }
                break;
            }
            case kOptGenkey:
                genkey_path = optarg;
                break;
            case kOptStatus:
                show_status = true;
                break;
            case kOptJson:
                json = true;
                break;
            default:
                fputs(kUsage, stderr);
                return 1;
        }
    }
    if (!genkey_path.empty() && optind == argc) {
        std::string why;
        if (!vesk::keyfile::generate(genkey_path, &why)) {
            vesk::log::error("%s", why.c_str());
            return 1;
        }
        vesk::log::notice("wrote a new key to %s; copy it to the other machine's veskd",
                          genkey_path.c_str());
        return 0;
    }
    if (show_status && optind == argc) {
        std::string report, why;
        if (!vesk::status::ask(vesk::sockdir::path_of(config.share, config.suffix), json, &report,
                               &why)) {
            fprintf(stderr, "veskd: %s\n", why.c_str());
            return 1;
        }
        fputs(report.c_str(), stdout);
        return 0;
    }
    if (json || show_status || optind != argc || link_arg.empty()) {
        fputs(kUsage, stderr);
        return 1;
    }
    vesk::log::set_verbosity(verbosity);
    std::string error;
    link.link_text = link_arg;
    if (!vesk::transport::parse_link(link_arg, &link.link, &error)) {
        vesk::log::error("%s", error.c_str());
        return 1;
    }
    if (!alive_given)
        config.alive_ms = vesk::default_alive_ms(link.link.kind, config.checked_frames);
    // A stdio end is mostly the far end of an exec: link (ssh, socat), whose
    // messages land in the near end's log: there they must say where from.
    if (link.link.kind == vesk::transport::LinkKind::kStdio) {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
            vesk::log::set_prefix(std::string("veskd@") + host);
    }
    if (!config.suffix.empty() && config.suffix.find('/') != std::string::npos) {
        vesk::log::error("the suffix must not contain '/'");
        return 1;
    }

    // Refuse early, before a link is made, when another veskd serves here.
    if (!vesk::sockdir::prepare(config.share, config.suffix, &config.socket_path, &error)) {
        vesk::log::error("%s", error.c_str());
        return 1;
    }

    // Every forwarded connection costs a descriptor or two: use what the
    // hard limit allows.
    vesk::raise_descriptor_limit();
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        vesk::log::error("pipe: %s", strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    // The daemon goes before the loop it runs on; its end closes the link,
    // removes the socket and reaps the link command.
    vesk::Loop loop;
    // One pool of worker threads for every link this veskd serves.
    config.workers = std::make_shared<vesk::Workers>(loop.mailbox());
    int status = 1;
    {
        vesk::Daemon daemon(loop, config, link);
        loop.add(g_signal_pipe[0], EPOLLIN, [&](uint32_t) {
            char sig;
            while (read(g_signal_pipe[0], &sig, 1) > 0) {
            }
            daemon.stop();
        });
        if (!daemon.start(&error)) {
            vesk::log::error("%s", error.c_str());
            return 1;
        }
        if (loop.run()) status = daemon.exit_status();
    }
    return status;
}
