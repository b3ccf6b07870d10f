// Options shared by every client, the share-mode start-up hook and the
// argument packer used for remote command lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "commands.h"
#include "failure.h"
#include "vesknet.h"

namespace {
int cached_mode = -1;
char *packed = nullptr;
}  // namespace

int client_options(int argc, char **argv, const char *letters,
                   int (*callback)(int option, char *argument)) {
    command_result = com_result + vesk::kResultTextOffset;
    if (const char *env = getenv("VESKSERVER")) {
        vesk_server = const_cast<char *>(env);
    }
    char opts[200];
    snprintf(opts, sizeof opts, "t:crp:S:%s", letters != nullptr ? letters : "");
    for (;;) {
        // The scanner takes the next option from argv[vesk_optind] and moves
        // the index on only after the last letter of a group (or past a
        // separate argument), so the index before the call names the argument
        // that holds the option.
        int held_in = vesk_optind;
        int c = vesk_getopt(argc, argv, opts);
        switch (c) {
            case -1:
                return vesk_optind;
            case '?':
                vesk::set_failure("'?' is an illegal for some unknown reason");
                return -1;
            case 't':
                vesk_server = vesk_optarg;
                break;
            case 'c':
                lcompression = rcompression = 1;
                break;
            case 'r':
                lcompression = rcompression = 0;
                break;
            case 'p':
                priority = static_cast<int>(strtol(vesk_optarg, nullptr, 10));
                fprintf(stderr, "Changing priority to %d\n", priority);
                break;
            case 'S': {
                long v = strtol(vesk_optarg, nullptr, 10);
                if (v == 0) {
                    v = strcmp(vesk_optarg, "on") == 0 ? 1 : 0;
                }
                share = v == 0 ? 0 : (share == 1 ? 1 : 2);
                break;
            }
            case 'v':
                ++verbose;
                break;
            default: {
                if (callback == nullptr ||
                    callback(static_cast<signed char>(c), vesk_optarg) == -1) {
                    const char *arg = held_in >= 0 && held_in < argc ? argv[held_in] : "";
                    vesk::set_failure("Unrecognized option '%s'", arg);
                    return -1;
                }
                break;
            }
        }
    }
}

int use_vesk_command(int flag) {
    if (flag != 0) {
        set_share_mode(1, share);
    } else if (savedeid < 0) {
        set_share_mode(0, share);
    }
    if (cached_mode >= 0) {
        return cached_mode;
    }
    if (getenv("VESKMODE") != nullptr) {
        cached_mode = 1;
        return cached_mode;
    }
    // The marker names are built outside get_vesk_path's buffer: the suffix
    // comes from the command line and may be longer than the room it keeps.
    int state = 0;
    char *base = nullptr;
    for (;;) {
        base = get_vesk_path(&state);
        if (base == nullptr) {
            break;
        }
        std::string marker = std::string(base) + "/vesknet";
        if (access(marker.c_str(), 0) == 0) {
            break;
        }
        marker += vesk_server != nullptr ? vesk_server : "";
        if (access(marker.c_str(), 0) == 0 || state == 0) {
            break;
        }
    }
    if (const char *dbg = getenv("VESKDEBUG")) {
        vesk_debug = static_cast<int>(strtol(dbg, nullptr, 10));
    }
    cached_mode = base == nullptr ? 0 : 1;
    return cached_mode;
}

char *build_arg(char **args) {
    free(packed);
    packed = nullptr;
    if (args == nullptr || args[0] == nullptr) {
        return nullptr;
    }
    size_t total = 0;
    size_t count = 0;
    for (char **p = args; *p != nullptr; ++p) {
        total += strlen(*p);
        ++count;
    }
    const char *term =
        remote_vesk_version >= vesk::proto::kFirstTermInArgs ? getenv("TERM") : nullptr;
    size_t extra = term != nullptr ? strlen(term) + 8 : 0;
    packed = static_cast<char *>(malloc(count + total + 2 + extra));
    if (packed == nullptr) {
        return nullptr;
    }
    char *out = packed;
    if (term != nullptr) {
        out += sprintf(out, "-DTERM=%s%c", term, '\xff');
    }
    for (char **p = args; *p != nullptr; ++p) {
        size_t len = strlen(*p);
        memcpy(out, *p, len);
        out += len;
        *out++ = '\xff';
    }
    *out = '\0';
    return packed;
}
