// xfer_stub: a scripted stand-in for a link-server pair, serving the file
// commands of upload and download on one Unix socket, with the far end's
// files in the working directory.  It exists for the cases a real pair
// cannot produce on demand: refusals, unreadable replies, cut streams and
// wrong checksums.
//
//   xfer_stub --socket PATH [--version N] [--log FILE] [--fail C=TEXT]...
//             [--reply C=TEXT]... [--fail-later C=TEXT]... [--crc N]
//             [--stream-limit BYTES] [--listing FILE]
//
// --fail makes command C fail with TEXT; --fail-later only from its second
// request on (a probe passes, the check after the data does not); --reply
// makes it succeed with TEXT
// (for '7': no data follows); --crc puts N in every status reply's checksum
// field; --stream-limit cuts every '7' stream after that many bytes;
// --listing makes 'Q' send FILE as the tree's listing.  Every
// request is logged as one line: '?' (local) or '>' (remote), the code, a
// blank and the text with newlines shown as \n.  Connections are served one
// after another; the stub runs until killed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include "file_status.h"
#include "testnet.h"
#include "vesknet.h"

using testnet::read_exact;
using testnet::write_all;

namespace {

std::map<char, std::string> failures;
std::map<char, std::string> replies;
std::map<char, std::string> later_failures;
std::map<char, int> seen;
unsigned long version = 20305;
long forced_crc = -1;
long stream_limit = -1;
std::string listing;  // the file --listing names
FILE *logf = nullptr;

void reply(int fd, bool ok, const std::string &text) {
    std::string r = ok ? "XXd" : "XXf";
    r += text;
    r.push_back('\0');
    write_all(fd, r.data(), r.size());
}

// "\nN\nname" or "name": the name and N (0 for the short form).
std::string parse_probe(const std::string &arg, long *n) {
    *n = 0;
    if (!arg.empty() && arg[0] == '\n') {
        size_t nl = arg.find('\n', 1);
        if (nl != std::string::npos) {
            *n = strtol(arg.c_str() + 1, nullptr, 10);
            return arg.substr(nl + 1);
        }
    }
    return arg;
}

// "A B\nname" or "name": the name, with the numbers when present.
std::string parse_open(const std::string &arg, long *a, unsigned *mode, bool *has) {
    size_t nl = arg.find('\n');
    *has = nl != std::string::npos;
    if (!*has) return arg;
    sscanf(arg.c_str(), "%ld %o", a, mode);
    return arg.substr(nl + 1);
}

bool status(const std::string &name, long n, std::string *text) {
    struct stat st {};
    if (stat(name.c_str(), &st) < 0) {
        *text = strerror(errno);
        return false;
    }
    long now = time(nullptr);
    unsigned crc = S_ISREG(st.st_mode) ? file_crc(name.c_str(), n) : 0;
    if (forced_crc >= 0) crc = static_cast<unsigned>(forced_crc);
    *text = vesk::proto::format_file_status(vesk::proto::file_status_of(st, now, crc));
    return true;
}

bool has_reply(char code) {
    return strchr("259MNOdefghl", code) == nullptr;
}

void log_request(bool local, char code, const std::string &arg) {
    if (!logf) return;
    std::string shown;
    for (char c : arg) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    fprintf(logf, "%c%c %s\n", local ? '?' : '>', code, shown.c_str());
    fflush(logf);
}

void serve(int fd) {
    int file = -1;
    for (;;) {
        char head[3];
        if (!read_exact(fd, head, 3)) break;
        std::string arg;
        char c;
        for (;;) {
            if (!read_exact(fd, &c, 1)) goto done;
            if (c == '\0') break;
            arg.push_back(c);
        }
        bool local = head[1] == '?';
        char code = head[2];
        log_request(local, code, arg);
        if (later_failures.count(code) && seen[code]++ > 0) {
            if (has_reply(code)) reply(fd, false, later_failures[code]);
            continue;
        }
        if (failures.count(code)) {
            if (has_reply(code)) reply(fd, false, failures[code]);
            continue;
        }
        if (replies.count(code) && has_reply(code)) {
            reply(fd, true, replies[code]);
            continue;
        }
        std::string text;
        bool ok = true;
        switch (code) {
            case 'F':
                if (local && arg == "-10") {
                    char buf[128];
                    snprintf(buf, sizeof buf, "VERSION %lu 7f000001 stubhost 0", version);
                    text = buf;
                }
                break;
            case 'l':
            case 'L': {
                long n = strtol(arg.c_str(), nullptr, 10);
                if (code == 'L') reply(fd, true, "");
                std::string data(static_cast<size_t>(n), '\0');
                if (!read_exact(fd, data.data(), data.size())) goto done;
                if (file >= 0) write_all(file, data.data(), data.size());
                continue;
            }
            case 'D': {
                long n = 0;
                std::string name = parse_probe(arg, &n);
                ok = status(name, n, &text);
                break;
            }
            case '6':
            case '1': {
                long off = 0;
                unsigned mode = 0400;
                bool has = false;
                std::string name = parse_open(arg, &off, &mode, &has);
                if (file >= 0) close(file);
                int flags = O_WRONLY | O_CREAT | (code == '6' ? O_TRUNC : 0);
                file = open(name.c_str(), flags, 0600);
                if (file < 0) {
                    ok = false;
                    text = strerror(errno);
                    break;
                }
                fchmod(file, mode);
                lseek(file, code == '1' && has ? off : 0, SEEK_SET);
                break;
            }
            case 'E':
                if (file < 0 || lseek(file, strtol(arg.c_str(), nullptr, 10), SEEK_SET) < 0) {
                    ok = false;
                    text = "no file open";
                }
                break;
            case 'M':
                if (file >= 0) close(file);
                file = -1;
                break;
            case 'O': {
                unsigned mode = 0;
                long at = 0, mt = 0;
                size_t nl = arg.find('\n');
                if (nl == std::string::npos) break;
                sscanf(arg.c_str(), "%o %ld %ld", &mode, &at, &mt);
                std::string name = arg.substr(nl + 1);
                struct stat st {};
                if (stat(name.c_str(), &st) < 0) break;
                long now = time(nullptr);
                struct utimbuf t {};
                t.actime = at ? at + now : st.st_atime;
                t.modtime = mt ? mt + now : st.st_mtime;
                utime(name.c_str(), &t);
                chmod(name.c_str(), mode);
                break;
            }
            case '7': {
                size_t nl = arg.find('\n');
                long off = strtol(arg.c_str(), nullptr, 10);
                std::string name = nl == std::string::npos ? arg : arg.substr(nl + 1);
                if (!status(name, 0, &text)) {
                    reply(fd, false, text);
                    continue;
                }
                int in = open(name.c_str(), O_RDONLY);
                if (in < 0) {
                    reply(fd, false, strerror(errno));
                    continue;
                }
                reply(fd, true, text);
                lseek(in, off, SEEK_SET);
                long sent = 0;
                char buf[65536];
                for (;;) {
                    size_t want = sizeof buf;
                    if (stream_limit >= 0) {
                        if (sent >= stream_limit) break;
                        if (static_cast<long>(want) > stream_limit - sent)
                            want = static_cast<size_t>(stream_limit - sent);
                    }
                    ssize_t r = read(in, buf, want);
                    if (r <= 0 || !write_all(fd, buf, static_cast<size_t>(r))) break;
                    sent += r;
                }
                close(in);
                goto done;
            }
            case 'Q': {
                std::string listed;
                if (FILE *f = fopen(listing.c_str(), "rb")) {
                    char buf[4096];
                    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) listed.append(buf, n);
                    fclose(f);
                }
                reply(fd, true, std::to_string(listed.size()));
                write_all(fd, listed.data(), listed.size());
                goto done;
            }
            case 'Z':
                if (unlink(arg.c_str()) < 0) {
                    ok = false;
                    text = strerror(errno);
                }
                break;
            default:
                break;
        }
        if (has_reply(code)) reply(fd, ok, text);
    }
done:
    if (file >= 0) close(file);
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    const char *path = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        std::string val = argv[i + 1];
        if (opt == "--socket") {
            path = argv[i + 1];
        } else if (opt == "--version") {
            version = strtoul(val.c_str(), nullptr, 10);
        } else if (opt == "--log") {
            logf = fopen(val.c_str(), "a");
        } else if ((opt == "--fail" || opt == "--reply") && val.size() >= 2 && val[1] == '=') {
            (opt == "--fail" ? failures : replies)[val[0]] = val.substr(2);
        } else if (opt == "--fail-later" && val.size() >= 2 && val[1] == '=') {
            later_failures[val[0]] = val.substr(2);
        } else if (opt == "--crc") {
            forced_crc = strtol(val.c_str(), nullptr, 10);
        } else if (opt == "--listing") {
            listing = val;
        } else if (opt == "--stream-limit") {
            stream_limit = strtol(val.c_str(), nullptr, 10);
        } else {
            fprintf(stderr, "xfer_stub: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (!path) {
        fputs("xfer_stub: --socket PATH is required\n", stderr);
        return 2;
    }
    int ls = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    // Bound under a scratch name and renamed once listening: a test that waits
    // for the path to appear must never find a socket that refuses it.
    std::string scratch = std::string(path) + ".new";
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", scratch.c_str());
    unlink(scratch.c_str());
    if (bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(ls, 8) < 0 ||
        rename(scratch.c_str(), path) < 0) {
        perror("xfer_stub: bind");
        return 1;
    }
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        serve(fd);
    }
}
