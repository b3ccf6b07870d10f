// The library carries its own scanner so that client programs behave the same
// whatever the system library's scanner does with permutation or resets.
#include <cstdio>
#include <cstring>

#include "vesknet.h"

namespace {

// Points into argv between calls; an empty string means "start on the next
// argument".  A writable empty array avoids casting away const from a literal.
char empty_text[1] = "";
char *place = empty_text;

const char *program_name(char *const *argv) {
    const char *slash = std::strrchr(argv[0], '/');
    return slash ? slash + 1 : argv[0];
}

}  // namespace

namespace {
int scan(int argc, char *const *argv, const char *letters);
}

// At the end of an argument place is left on its NUL, which means the same as
// the empty string; pointing at our own empty string instead keeps a later
// scan of another vector from reading the first one's freed memory.
int vesk_getopt(int argc, char *const *argv, const char *letters) {
    int c = scan(argc, argv, letters);
    if (*place == '\0') place = empty_text;
    return c;
}

namespace {
int scan(int argc, char *const *argv, const char *letters) {
    if (*place == '\0') {
        if (vesk_optind >= argc || argv[vesk_optind][0] != '-') {
            place = empty_text;
            return -1;
        }
        place = argv[vesk_optind];
        // A lone dash is scanned as the character '-' so that it ends the
        // options without being consumed.
        if (place[1] != '\0') {
            ++place;
            if (*place == '-') {
                ++vesk_optind;
                place = empty_text;
                return -1;
            }
        }
    }

    vesk_optopt = static_cast<signed char>(*place++);
    const char *letter = vesk_optopt == ':' ? nullptr : std::strchr(letters, vesk_optopt);
    if (letter == nullptr) {
        if (vesk_optopt == '-') {
            return -1;
        }
        if (*place == '\0') {
            ++vesk_optind;
        }
        if (vesk_opterr) {
            std::fprintf(stderr, "%s: illegal option -- %c\n", program_name(argv), vesk_optopt);
        }
        return '?';
    }

    if (letter[1] != ':') {
        vesk_optarg = nullptr;
        if (*place == '\0') {
            ++vesk_optind;
        }
        return vesk_optopt;
    }

    if (*place != '\0') {
        vesk_optarg = place;
    } else if (++vesk_optind >= argc) {
        place = empty_text;
        if (vesk_opterr) {
            std::fprintf(stderr, "%s: option requires an argument -- %c\n", program_name(argv),
                         vesk_optopt);
        }
        return '?';
    } else {
        vesk_optarg = argv[vesk_optind];
    }
    place = empty_text;
    ++vesk_optind;
    return vesk_optopt;
}
}  // namespace
