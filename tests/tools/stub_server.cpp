// A scripted stand-in for the link server, for testing the client library on
// the wire without a real server pair.
//
//   stub_server SOCKET SCRIPT LOG
//
// Listens on the Unix-domain socket SOCKET and serves connections one after
// another.  Every request (from '@' up to and including its NUL) is appended
// to LOG byte for byte, and answered by the next line of SCRIPT:
//
//   reply TEXT   send TEXT and a NUL (TEXT holds the two header bytes and the
//                status character, e.g. "xxdVERSION 20305 7f000002 peer 501")
//   raw TEXT     send TEXT as it is, without a NUL
//   cut TEXT     send TEXT without a NUL, then close the connection
//   long N       send "xxd", N bytes 'r' and a NUL
//   none         send nothing (commands that have no reply)
//   close        close the connection without a reply
//
// TEXT may use \n, \0, \\ and \xHH.  Blank lines and lines starting with '#'
// are skipped.  A request that finds the script used up is logged and its
// connection closed.  The stub exits 0 once the script is used up and the
// connection has ended, and in any case after kLifetime seconds, so that a
// test never hangs on it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned kLifetime = 30;  // seconds; far beyond any scripted exchange
constexpr int kBacklog = 8;

struct Action {
    std::string verb;
    std::string text;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out.push_back(s[i]);
            continue;
        }
        char c = s[++i];
        if (c == 'n') {
            out.push_back('\n');
        } else if (c == '0') {
            out.push_back('\0');
        } else if (c == 'x' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 &&
                   hex_digit(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool load_script(const char *path, std::vector<Action> *script) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t space = line.find(' ');
        Action a;
        a.verb = line.substr(0, space);
        a.text = space == std::string::npos ? "" : unescape(line.substr(space + 1));
        if (a.verb != "reply" && a.verb != "raw" && a.verb != "cut" && a.verb != "long" &&
            a.verb != "none" && a.verb != "close") {
            fprintf(stderr, "stub_server: unknown action '%s'\n", a.verb.c_str());
            return false;
        }
        script->push_back(a);
    }
    return true;
}

bool write_all(int fd, const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Reads one request up to and including its NUL.  Returns false at end of
// file or on an error (a partial request is still returned for the log).
bool read_request(int fd, std::string *request) {
    request->clear();
    for (;;) {
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        request->push_back(c);
        if (c == '\0') return true;
    }
}

// Serves one connection.  Returns when it has ended.
void serve(int conn, int log, const std::vector<Action> &script, size_t *next) {
    std::string request;
    for (;;) {
        bool whole = read_request(conn, &request);
        if (!request.empty() && write(log, request.data(), request.size()) < 0) {
            perror("stub_server: log");
        }
        if (!whole || *next >= script.size()) return;
        const Action &a = script[(*next)++];
        if (a.verb == "close") return;
        if (a.verb == "none") continue;
        std::string bytes;
        if (a.verb == "reply") {
            bytes = a.text + std::string(1, '\0');
        } else if (a.verb == "long") {
            bytes = "xxd" + std::string(strtoul(a.text.c_str(), nullptr, 10), 'r') + '\0';
        } else {
            bytes = a.text;
        }
        if (!write_all(conn, bytes) || a.verb == "cut") return;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: stub_server SOCKET SCRIPT LOG\n");
        return 2;
    }
    std::vector<Action> script;
    if (!load_script(argv[2], &script)) {
        fprintf(stderr, "stub_server: cannot read script %s\n", argv[2]);
        return 2;
    }
    int log = open(argv[3], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) {
        perror(argv[3]);
        return 2;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof sa.sun_path) {
        fprintf(stderr, "stub_server: socket path too long\n");
        return 2;
    }
    strcpy(sa.sun_path, argv[1]);
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(argv[1]);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(lfd, kBacklog) != 0) {
        perror("stub_server: listen");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    alarm(kLifetime);
    size_t next = 0;
    while (next < script.size()) {
        int conn = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR) continue;
            perror("stub_server: accept");
            break;
        }
        serve(conn, log, script, &next);
        close(conn);
    }
    close(lfd);
    unlink(argv[1]);
    close(log);
    return 0;
}
