// bench_line's command line: the options of each direction of the line, read
// from the arguments, or a message and exit status 2 for a bad one.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "line_damage.h"

namespace line {

constexpr int64_t kNsPerSec = 1000000000;  // ns
constexpr size_t kDefaultBuffer = 4096;    // bytes: about a tty's output queue

struct Outage {
    int64_t start_ns, end_ns;  // from the emulator's start
};

// What one direction of the line does to its bytes.
struct LineParams {
    double rate = 0;  // bits/s, 0 unlimited
    double delay_ms = 0;
    DamageParams damage;
    size_t buffer = kDefaultBuffer;
    std::vector<Outage> outages;
    std::string capture;  // a file that gets the source's bytes as read, before any damage
};

[[noreturn]] inline void usage() {
    fprintf(stderr,
            "usage: bench_line [--rate BITS/S] [--delay MS] [--ber P] [--burst BYTES] "
            "[--burst-rate P] [--drop P] [--insert P] [--outage START_S:LEN_S] "
            "[--buffer BYTES] [--capture-up FILE] [--capture-down FILE] [--seed N] -- COMMAND "
            "[ARG...]\n"
            "  (each option but --seed and --capture also as OPTION-up or OPTION-down for one "
            "direction; --capture only so)\n");
    exit(2);
}

[[noreturn]] inline void bad(const std::string &opt, const char *value, const char *why) {
    fprintf(stderr, "bench_line: %s %s: %s\n", opt.c_str(), value, why);
    exit(2);
}

inline double number(const std::string &opt, const char *value, double lo, double hi) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(value, &end);
    if (end == value || *end != '\0' || errno != 0 || !std::isfinite(v))
        bad(opt, value, "not a number");
    if (v < lo || v > hi) bad(opt, value, "out of range");
    return v;
}

// Each option of one direction: its range and where it goes.
struct Setting {
    std::string_view name;
    double lo, hi;
    void (*set)(LineParams &, double);
};
constexpr double kMaxRate = 1e12;  // bits/s
constexpr double kMaxMs = 1e7;     // ms: about three hours
constexpr double kMaxBytes = 1e9;  // bytes
inline const Setting kSettings[] = {
    {"rate", 0, kMaxRate, [](LineParams &p, double v) { p.rate = v; }},
    {"delay", 0, kMaxMs, [](LineParams &p, double v) { p.delay_ms = v; }},
    {"ber", 0, 1, [](LineParams &p, double v) { p.damage.ber = v; }},
    {"burst", 0, kMaxBytes, [](LineParams &p, double v) { p.damage.burst = size_t(v); }},
    {"burst-rate", 0, 1, [](LineParams &p, double v) { p.damage.burst_rate = v; }},
    {"drop", 0, 1, [](LineParams &p, double v) { p.damage.drop = v; }},
    {"insert", 0, 1, [](LineParams &p, double v) { p.damage.insert = v; }},
    {"buffer", 1, kMaxBytes, [](LineParams &p, double v) { p.buffer = size_t(v); }},
};

// Sets option NAME (without its direction suffix) in P from VALUE.
inline void set_option(const std::string &opt, std::string_view name, const char *value,
                       LineParams &p) {
    if (name == "outage") {
        const char *colon = strchr(value, ':');
        if (!colon) bad(opt, value, "want START_S:LEN_S");
        std::string start(value, colon);
        double s = number(opt, start.c_str(), 0, kMaxMs / 1000);
        double len = number(opt, colon + 1, 0, kMaxMs / 1000);
        p.outages.push_back(Outage{int64_t(s * kNsPerSec), int64_t((s + len) * kNsPerSec)});
        return;
    }
    if (name == "capture") {
        if (*value == '\0') bad(opt, value, "want a file name");
        p.capture = value;
        return;
    }
    for (const Setting &s : kSettings)
        if (s.name == name) return s.set(p, number(opt, value, s.lo, s.hi));
    fprintf(stderr, "bench_line: unknown option %s\n", opt.c_str());
    usage();
}

struct Options {
    LineParams up, down;
    uint64_t seed = 1;
    char **command = nullptr;
};

inline Options parse(int argc, char **argv) {
    Options o;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        std::string opt = argv[i];
        if (opt.rfind("--", 0) != 0) usage();
        const char *value;
        size_t eq = opt.find('=');
        if (eq != std::string::npos) {
            value = argv[i] + eq + 1;
            opt.resize(eq);
        } else {
            if (i + 1 >= argc) bad(opt, "", "needs a value");
            value = argv[++i];
        }
        std::string_view name = std::string_view(opt).substr(2);
        if (name == "seed") {
            o.seed = uint64_t(number(opt, value, 0, 9007199254740992.0));
        } else if (name.size() > 3 && name.substr(name.size() - 3) == "-up") {
            set_option(opt, name.substr(0, name.size() - 3), value, o.up);
        } else if (name.size() > 5 && name.substr(name.size() - 5) == "-down") {
            set_option(opt, name.substr(0, name.size() - 5), value, o.down);
        } else if (name == "capture") {
            // One file cannot take both directions' bytes in order.
            bad(opt, value, "name a direction: --capture-up or --capture-down");
        } else {
            set_option(opt, name, value, o.up);
            set_option(opt, name, value, o.down);
        }
    }
    if (i + 1 >= argc) usage();
    o.command = argv + i + 1;
    return o;
}

}  // namespace line
