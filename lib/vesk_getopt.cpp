// The library carries its own scanner so that client programs behave the same
// whatever the system library's scanner does with permutation or resets.
#include <cstdio>
#include <cstring>

#include "vesknet.h"

namespace {

// Where a group of letters ("-abc") was left half-scanned.  The scanner keeps
// no pointer it would dereference later: the caller may free its vector, or
// reset vesk_optind and scan another, between calls.  A group is resumed only
// when the caller hands back the same vector, at the same index, with the same
// argument there, and the argument is still long enough; anything else starts
// on argv[vesk_optind] afresh.
struct Group {
    char *const *argv = nullptr;
    int index = 0;
    const char *arg = nullptr;  // compared, never read unless it is argv[index]
    size_t offset = 0;          // next letter; 0: no group in progress
};
Group group;

const char *program_name(char *const *argv) {
    const char *slash = std::strrchr(argv[0], '/');
    return slash ? slash + 1 : argv[0];
}

// The offset of the next letter when the caller's position continues the
// group in progress, else 0.
size_t resume_offset(int argc, char *const *argv) {
    const Group g = group;
    group = Group{};
    if (g.offset == 0 || argv != g.argv || vesk_optind != g.index || vesk_optind < 0 ||
        vesk_optind >= argc || argv[vesk_optind] != g.arg) {
        return 0;
    }
    // Bounded by the string the caller owns now, whatever it holds.
    return strnlen(g.arg, g.offset + 1) > g.offset ? g.offset : 0;
}

// "<program>: <what> -- <letter>" on stderr unless the caller silenced it.
void report(char *const *argv, const char *what) {
    if (vesk_opterr) {
        std::fprintf(stderr, "%s: %s -- %c\n", program_name(argv), what, vesk_optopt);
    }
}

}  // namespace

int vesk_getopt(int argc, char *const *argv, const char *letters) {
    size_t off = resume_offset(argc, argv);
    bool lone_dash = false;
    if (off == 0) {
        if (vesk_optind < 0 || vesk_optind >= argc || argv[vesk_optind] == nullptr ||
            argv[vesk_optind][0] != '-') {
            return -1;
        }
        const char *word = argv[vesk_optind];
        if (word[1] == '\0') {
            // A lone dash is scanned as the character '-' so that it ends the
            // options without being consumed.
            lone_dash = true;
        } else if (word[1] == '-') {
            ++vesk_optind;
            return -1;
        } else {
            off = 1;
        }
    }
    const char *word = argv[vesk_optind];
    // A signed char value, as the library's callers are promised.
    vesk_optopt = static_cast<signed char>(word[off++]);  // NOLINT(bugprone-signed-char-misuse)
    const bool at_end = word[off] == '\0';
    // Leaves the group for the next call when letters remain, else moves on.
    auto advance = [&]() {
        if (at_end) {
            ++vesk_optind;
        } else {
            group = Group{argv, vesk_optind, word, off};
        }
    };

    const char *letter = vesk_optopt == ':' ? nullptr : std::strchr(letters, vesk_optopt);
    if (letter == nullptr) {
        if (lone_dash) {
            return -1;
        }
        // A '-' inside a group ("-f-x") is no end of the options: taking the
        // word as a file name after applying its first letters would act on a
        // command line the user did not write.
        advance();
        report(argv, "illegal option");
        return '?';
    }

    if (letter[1] != ':') {
        vesk_optarg = nullptr;
        advance();
        return vesk_optopt;
    }

    if (!at_end) {
        vesk_optarg = const_cast<char *>(word + off);
    } else if (++vesk_optind >= argc) {
        report(argv, "option requires an argument");
        return '?';
    } else {
        vesk_optarg = argv[vesk_optind];
    }
    ++vesk_optind;
    return vesk_optopt;
}
