// Finding and connecting to the local link server, plus the one-time version
// handshake that tells the library who is on the other end of the link.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "connect_internal.h"
#include "commands.h"
#include "hostport.h"
#include "request.h"
#include "sockpath.h"
#include "vesknet.h"

namespace vesk {

void parse_version_reply(const char *text) {
    // A bounded field keeps an over-long host name out of the buffer.
    static_assert(sizeof vesk_remotehost == proto::kHostNameMax + 1, "the width of the %s below");
    sscanf(text, "VERSION %lu %lx %255s %u", &remote_vesk_version, &vesk_remoteaddr,
           vesk_remotehost, &vesk_remoteuser);
}

}  // namespace vesk

namespace {

// access(2) modes of the directory search.
constexpr int kSearchable = R_OK | X_OK;          // shared directory: read and search
constexpr int kExists = F_OK;                     // the super-user only needs it to exist
constexpr int kOwnerUsable = R_OK | W_OK | X_OK;  // private directory: read, write, search

// setuid/setgid failures are deliberately ignored: the connect that follows
// fails on its own if the ids were not right, and that is reported instead.
void regain() {
    if (savedeid >= 0) {
        if (share == 2) {
            (void)!setuid(static_cast<uid_t>(savedeid));
        } else {
            (void)!setgid(static_cast<gid_t>(savedeid));
        }
    }
}

void drop() {
    if (share == 2) {
        (void)!setuid(getuid());
    } else {
        (void)!setgid(getgid());
    }
}

void parse_version() {
    vesk::parse_version_reply(command_result);
}

// While no server has ever been reached, the local host stands in for the
// remote one, so that the library still has a remote name and address.
void no_server_yet() {
    if (remote_vesk_version != 0) {
        return;
    }
    memset(vesk_remotehost, 0, sizeof vesk_remotehost);
    if (vesk_localaddr == 0) {
        get_vesk_localaddr(inet_addr("127.0.0.1"));
    }
    memcpy(vesk_remotehost, vesk_localhost, sizeof vesk_remotehost);
    vesk_remotehost[sizeof vesk_remotehost - 1] = '\0';
    vesk_remoteaddr = vesk_localaddr;
}

// After a failed command: whether the server has closed the connection
// (the command broke the socket, or the socket is at its end).
bool server_hung_up(int s, int result) {
    if (result == -2) {
        return true;
    }
    char c;
    return recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// The settings of every connection, in their order, all written before any
// reply is read: their results are ignored and cannot change what is sent,
// so over a long link they cost one round trip in all, not one each.
void send_settings(int s) {
    int owed = 0;
    bool one = false;
    if (lcompression >= 0) {
        vesk::request::post(s, &one, 'C', 1, "%d", lcompression);
        owed += one;
    }
    if (rcompression >= 0) {
        vesk::request::post(s, &one, 'C', 0, "%d", rcompression);
        owed += one;
    }
    if (priority != 0) {
        vesk::request::post(s, &one, 'd', 1, "%d", priority);
        owed += one;
        vesk::request::post(s, &one, 'd', 0, "%d", priority);
        owed += one;
    }
    while (owed-- > 0) {
        if (vesk::request::read_reply(s) == -2) {
            break;
        }
    }
}

// Result of one attempt when a server was reached but refused the
// connection: no further share mode is tried.
constexpr int kRefused = -2;

int try_connect_server(int fd, const char *suffix) {
    if (suffix == nullptr) {
        suffix = "";
    }
    // The path is completed outside get_vesk_path's buffer: the suffix comes
    // from the command line or the environment and has no length bound.
    int state = 0;
    char *base = nullptr;
    std::string path;
    // A shared directory is checked with the ids regained (effective ids), the
    // private one as the user.
    const bool shared = share != 0;
    if (shared) regain();
    // After regain: a set-user-id root program is then root in full.
    const int mode = !shared ? kOwnerUsable : getuid() != 0 ? kSearchable : kExists;
    for (;;) {
        base = get_vesk_path(&state);
        if (base == nullptr) {
            break;
        }
        path = vesk::proto::socket_dir(base, share, suffix);
        int ok = shared ? eaccess(path.c_str(), mode) : access(path.c_str(), mode);
        if (ok >= 0 || state == 0) {
            break;
        }
    }
    if (shared) drop();
    if (base == nullptr) {
        vesk::set_failure("Can't find vesk directory.");
        return -1;
    }
    path = vesk::proto::socket_path(base, share, suffix);

    regain();
    int s = connect_unix(fd, path.c_str());
    drop();
    if (s < 0) {
        vesk::set_failure("Failed to connect to vesk socket '%s'", path.c_str());
        no_server_yet();
        return -1;
    }

    if (remote_vesk_version == 0) {
        memset(vesk_remotehost, 0, sizeof vesk_remotehost);
        strcpy(vesk_remotehost, "remotehost");
        if (send_command(s, 'F', 1, "%ld", vesk::proto::kStatsVersion) >= 0) {
            parse_version();
        }
        if (remote_vesk_version == 0) {
            // A server that cannot serve now (its link is down) refuses the
            // query with the reason and hangs up; an old one that does not
            // know the query keeps the connection.  The reason is this
            // connection's failure.
            std::string reason = command_result;
            if (server_hung_up(s, send_command(s, 'F', 0, "%ld", vesk::proto::kStatsSummary))) {
                close(s);
                vesk::set_failure("%s", reason.c_str());
                no_server_yet();
                return kRefused;
            }
            if (send_command(s, 'F', 1, "%ld", vesk::proto::kStatsVersion) >= 0) {
                parse_version();
            }
        }
        if (remote_vesk_version == 0) {
            remote_vesk_version = vesk::proto::kDefaultVersion;
        }
    }
    if (vesk_remoteaddr == 0) {
        vesk_remoteaddr = vesk::proto::kFarSelfAddr;
    }
    send_settings(s);
    return s;
}

}  // namespace

int socket_connect_server(int fd, const char *suffix) {
    vesk::set_failure("No error reported");
    set_share_mode(0, share);
    if (share == -1) {
        set_share_mode(0, 1);
        int s = try_connect_server(fd, suffix);
        if (s >= 0 || s == kRefused) {
            return s < 0 ? -1 : s;
        }
        set_share_mode(0, 2);
        s = try_connect_server(fd, suffix);
        if (s >= 0 || s == kRefused) {
            return s < 0 ? -1 : s;
        }
        share = 0;
    }
    int s = try_connect_server(fd, suffix);
    return s < 0 ? -1 : s;
}

int connect_server(const char *suffix) {
    int s = socket_connect_server(-1, suffix);
    if (s < 0) {
        exit(1);
    }
    return s;
}
