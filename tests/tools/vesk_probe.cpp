// Test driver for veskd: runs commands through the library on one
// connection and prints each result, or turns the connection into a stream.
//
//   vesk_probe [-t suffix] DIR CODE ARG [DIR CODE ARG...]
//       DIR is '?' (local) or '>' (far); "\n" in ARG is a newline.  Prints
//       "<result> <command_result>" per command.
//   vesk_probe [-t suffix] -s DIR CODE ARG
//       After a successful connect command, '5' and a relay of standard
//       input to the stream and the stream to standard output, with
//       half-close passed on.
//   -S MODE selects the share mode (0 private, 1 group, 2 user).
//   vesk_probe [-t suffix] -w SECONDS DIR CODE ARG...
//       As the first form, then holds the connection open for SECONDS.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "vesknet.h"

namespace {
std::string unescape(const char *s) {
    std::string out;
    for (; *s; s++) {
        if (s[0] == '\\' && s[1] == 'n') {
            out.push_back('\n');
            s++;
        } else {
            out.push_back(*s);
        }
    }
    return out;
}

int relay(int sock) {
    char buf[65536];
    bool in_open = true, sock_open = true;
    while (sock_open) {
        pollfd p[2] = {{sock, POLLIN, 0}, {0, POLLIN, 0}};
        int n = poll(p, in_open ? 2 : 1, 30000);
        if (n <= 0) return 2;
        if (p[0].revents) {
            ssize_t r = read(sock, buf, sizeof buf);
            if (r <= 0) {
                sock_open = false;
            } else {
                for (ssize_t off = 0; off < r;) {
                    ssize_t w = write(1, buf + off, size_t(r - off));
                    if (w <= 0) return 3;
                    off += w;
                }
            }
        }
        if (in_open && p[1].revents) {
            ssize_t r = read(0, buf, sizeof buf);
            if (r <= 0) {
                shutdown(sock, SHUT_WR);
                in_open = false;
            } else {
                for (ssize_t off = 0; off < r;) {
                    ssize_t w = write(sock, buf + off, size_t(r - off));
                    if (w <= 0) return 3;
                    off += w;
                }
            }
        }
    }
    return 0;
}
}  // namespace

int main(int argc, char **argv) {
    int i = 1;
    bool stream = false;
    int hold = 0;
    const char *suffix = "";
    for (; i < argc && argv[i][0] == '-' && argv[i][1]; i++) {
        if (!strcmp(argv[i], "-s")) {
            stream = true;
        } else if (!strcmp(argv[i], "-t") && i + 1 < argc) {
            suffix = argv[++i];
        } else if (!strcmp(argv[i], "-S") && i + 1 < argc) {
            share = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-w") && i + 1 < argc) {
            hold = atoi(argv[++i]);
        } else {
            break;
        }
    }
    if ((argc - i) % 3 != 0 || argc == i) {
        fprintf(stderr, "usage: vesk_probe [-t suffix] [-s] [-w secs] DIR CODE ARG...\n");
        return 2;
    }
    int fd = socket_connect_server(-1, suffix);
    if (fd < 0) {
        printf("connect %s\n", command_result);
        return 1;
    }
    int status = 0;
    for (; i < argc; i += 3) {
        bool local = argv[i][0] == '?';
        int code = (unsigned char)argv[i + 1][0];
        std::string arg = unescape(argv[i + 2]);
        int rc = send_command(fd, code, local, arg.empty() ? nullptr : "%s", arg.c_str());
        if (!stream) printf("%d %s\n", rc, command_result);
        fflush(stdout);
        if (rc < 0) status = 1;
    }
    if (stream) {
        if (status != 0) {
            fprintf(stderr, "connect command failed: %s\n", command_result);
            return 1;
        }
        send_command(fd, '5', 1, nullptr);
        return relay(fd);
    }
    if (hold > 0) sleep(unsigned(hold));
    close(fd);
    return status;
}
