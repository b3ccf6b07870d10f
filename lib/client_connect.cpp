// Finding and connecting to the local link server, plus the one-time version
// handshake that tells the library who is on the other end of the link.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "vesknet.h"

namespace {

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
    // A bounded field keeps an over-long host name out of the 256-byte buffer.
    sscanf(command_result, "VERSION %lu %lx %255s %u", &remote_vesk_version, &vesk_remoteaddr,
           vesk_remotehost, &vesk_remoteuser);
}

int try_connect_server(int fd, const char *suffix) {
    if (suffix == nullptr) {
        suffix = "";
    }
    int state = 0;
    char *path = nullptr;
    if (share != 0) {
        regain();
        int mode = getuid() != 0 ? 5 : 0;
        for (;;) {
            path = get_vesk_path(&state);
            if (path == nullptr) {
                break;
            }
            strcat(path, "/tmp/private");
            strcat(path, suffix);
            if (eaccess(path, mode) >= 0 || state == 0) {
                break;
            }
        }
        drop();
    } else {
        for (;;) {
            path = get_vesk_path(&state);
            if (path == nullptr) {
                break;
            }
            strcat(path, "/.vesk");
            if (access(path, 7) >= 0 || state == 0) {
                break;
            }
        }
    }
    if (path == nullptr) {
        snprintf(com_result, sizeof com_result, "XX%cCan't find vesk directory.", 'X');
        return -1;
    }
    if (share != 0) {
        strcat(path, "/socket");
    } else {
        sprintf(path + strlen(path), "/socket%s", suffix);
    }

    regain();
    int s = connect_unix(fd, path);
    drop();
    if (s < 0) {
        snprintf(com_result, sizeof com_result, "XX%cFailed to connect to vesk socket '%s'", 'X',
                 path);
        if (remote_vesk_version != 0) {
            return -1;
        }
        memset(vesk_remotehost, 0, sizeof vesk_remotehost);
        if (vesk_localaddr == 0) {
            get_vesk_localaddr(inet_addr("127.0.0.1"));
        }
        memcpy(vesk_remotehost, vesk_localhost, sizeof vesk_remotehost);
        vesk_remotehost[sizeof vesk_remotehost - 1] = '\0';
        vesk_remoteaddr = vesk_localaddr;
        return -1;
    }

    if (remote_vesk_version == 0) {
        memset(vesk_remotehost, 0, sizeof vesk_remotehost);
        strcpy(vesk_remotehost, "remotehost");
        if (send_command(s, 'F', 1, "%d", -10) >= 0) {
            parse_version();
        }
        if (remote_vesk_version == 0) {
            send_command(s, 'F', 0, "%d", -1);
            if (send_command(s, 'F', 1, "%d", -10) >= 0) {
                parse_version();
            }
        }
        if (remote_vesk_version == 0) {
            remote_vesk_version = 10800;
        }
    }
    if (vesk_remoteaddr == 0) {
        vesk_remoteaddr = 0x7F0000FEUL;
    }
    if (lcompression >= 0) {
        send_command(s, 'C', 1, "%d", lcompression);
    }
    if (rcompression >= 0) {
        send_command(s, 'C', 0, "%d", rcompression);
    }
    if (priority != 0) {
        send_command(s, 'd', 1, "%d", priority);
        send_command(s, 'd', 0, "%d", priority);
    }
    return s;
}

}  // namespace

int socket_connect_server(int fd, const char *suffix) {
    snprintf(com_result, sizeof com_result, "XX%cNo error reported", 'X');
    command_result = com_result + 3;
    set_share_mode(0, share);
    if (share == -1) {
        set_share_mode(0, 1);
        int s = try_connect_server(fd, suffix);
        if (s >= 0) {
            return s;
        }
        set_share_mode(0, 2);
        s = try_connect_server(fd, suffix);
        if (s >= 0) {
            return s;
        }
        share = 0;
    }
    return try_connect_server(fd, suffix);
}

int connect_server(const char *suffix) {
    int s = socket_connect_server(-1, suffix);
    if (s < 0) {
        exit(1);
    }
    return s;
}
