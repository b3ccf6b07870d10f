// --help and --version, answered alike by every client program before it
// parses anything else or sends a request: a program that sets the clock
// must not set it when all that was asked is how to call it.  Internal and
// header-only, like request.h: the library itself never prints or exits.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vesk::help {

// The options client_options handles for every program but regquery.
constexpr const char *kCommonOptions =
    "Common options:\n"
    "  -t SUFFIX  use the link server on socket SUFFIX (default: $VESKSERVER, or none)\n"
    "  -S MODE    share mode: 0 private, \"on\" or another number shared\n"
    "  -c, -r     ask for compression, or none\n"
    "  -p NUM     link priority of this program's traffic\n"
    "  --help     print this and exit; --version: print the version and exit\n";

enum class Ask { kNothing, kHelp, kVersion };

// Which of --help and --version stands among the leading options (before the
// first word that is no option, "-" or "--"), whichever comes first.
inline Ask asked(int argc, char *const *argv) {
    for (int i = 1; i < argc && argv[i] != nullptr; i++) {
        const char *a = argv[i];
        if (a[0] != '-' || a[1] == '\0' || std::strcmp(a, "--") == 0) break;
        if (std::strcmp(a, "--help") == 0) return Ask::kHelp;
        if (std::strcmp(a, "--version") == 0) return Ask::kVersion;
    }
    return Ask::kNothing;
}

// When asked, prints usage and then more (--help), or "program VERSION"
// (--version), on standard output and ends the process with status 0.
inline void answer(int argc, char *const *argv, const char *program, const char *usage,
                   const char *more) {
    Ask ask = asked(argc, argv);
    if (ask == Ask::kNothing) return;
    if (ask == Ask::kHelp) {
        std::fputs(usage, stdout);
        if (more != nullptr) std::fputs(more, stdout);
    } else {
        std::printf("%s %s\n", program, VESK_VERSION);
    }
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

}  // namespace vesk::help
