// The command protocol between libvesknet and its link server: every command
// code with what it does to the channel, the server versions that bring each
// one, and the 'F' statistics sub-codes.  The library and veskd both read
// these facts here: a new command is one line of this table, plus, for veskd
// to serve it, one row naming its unit and handler in veskd's own command
// table (server/channels/dispatch.cpp), which stays out of here so that the
// library never sees a server type.
#pragma once

#include <climits>
#include <cstddef>

namespace vesk::proto {

// ---- Versions: each is the first server version that has the feature ----

// The version by which local requests are judged.
constexpr unsigned long kLocalVersion = 20305;
// First version that copies trees as this build does: a channel's names
// beneath a tree's top that follow no link ('U'), the whole tree listed in
// one stream ('Q'), directories and links made ('K', 'k'), exact times and
// finished modes ('P') and renames ('R').  An older far end lists trees in a
// way this build no longer reads, and is refused.
constexpr unsigned long kFirstTrees = 20307;
// The version this build's servers report.
constexpr unsigned long kServerVersion = kFirstTrees;
// Taken for a server that does not answer the version query.
constexpr unsigned long kDefaultVersion = 10800;
// First version that resolves 'c' names, of other hosts or of itself.
constexpr unsigned long kFirstResolve = 11714;
// First version about whose own name the library answers 'c' itself again.
constexpr unsigned long kFirstSelfAnsweredLocally = 20054;
// First version whose 'D' takes the long form "\n<length>\n<name>", with the
// checksum of the first length bytes.
constexpr unsigned long kFirstLongStatus = 20164;
// First version whose '6' and '1' take an offset and a mode before the name.
constexpr unsigned long kFirstOpenWithMode = 20057;
// First version to which a packed argument list carries the client's TERM.
constexpr unsigned long kFirstTermInArgs = 11715;
// A command no server version has.
constexpr unsigned long kNever = ULONG_MAX;

// Longest request a client sends, bytes: '@', the direction, the code, the
// argument text and its NUL.
constexpr size_t kRequestMax = 1024;
// Longest argument text of a request: the request less '@', the direction,
// the code and the NUL.
constexpr size_t kRequestTextMax = kRequestMax - 4;

// ---- Addresses ----

// The far machine as clients name it, and as the library reports it when the
// server tells no address.
constexpr const char *kFarSelfText = "127.0.0.254";
constexpr unsigned long kFarSelfAddr = 0x7F0000FEUL;  // host byte order

// The X display socket every 'X' request of the clients names.
constexpr const char *kXDisplay0Path = "/tmp/.X11-unix/X0";

// veskd's own local request for its state (veskd --status): no client of the
// library sends it, and a far end that does is refused.  Its argument is
// kStatusJson for one JSON object, or empty for lines a person reads.
constexpr char kStatusCode = 'y';
constexpr const char *kStatusJson = "json";

// ---- 'F' (statistics) sub-codes, the request's argument ----

constexpr long kStatsVersion = -10;  // "VERSION <version> <addr hex> <host> <uid>"
constexpr long kStatsClock = -9;     // the server's clock: "<seconds> <microseconds>"
constexpr long kStatsChannel = -6;   // the number of the asking channel
constexpr long kStatsSummary = -1;   // a summary; asked of the far end to wake the link

// ---- The command table ----

// What a command opens on its channel, for the data that follows it.
enum class Opens : unsigned char {
    Nothing,
    FileSink,    // a file that later dump data is written to
    FileSource,  // a file whose bytes come back as stream data
    Stream,      // a connected socket the channel relays to
};

struct Command {
    char code;
    const char *name;  // as the clients' messages call it; "" where they do not
    bool has_reply;
    // First server version that knows the code; 0 for every version.
    unsigned long first_version;
    // Sent instead to a server older than first_version; '\0' when none.
    char old_form;
    // The call's result when the server is too old and there is no old form.
    int refused_result;
    Opens opens;
};

// Every code a client sends, the old forms included.  Codes not listed pass
// unchanged, known to every version, with a reply.
inline constexpr Command kCommands[] = {
    {'F', "C_STATS", true, 0, '\0', -1, Opens::Nothing},
    {'C', "", true, 0, '\0', -1, Opens::Nothing},
    {'d', "", false, 20000, 'B', -1, Opens::Nothing},
    {'B', "", true, 0, '\0', -1, Opens::Nothing},
    {'D', "", true, 0, '\0', -1, Opens::Nothing},
    {'1', "", true, 0, '\0', -1, Opens::FileSink},
    {'6', "", true, 0, '\0', -1, Opens::FileSink},
    {'E', "", true, 0, '\0', -1, Opens::Nothing},
    {'O', "", false, 20055, '\0', -1, Opens::Nothing},
    {'l', "", false, 20000, 'L', -1, Opens::Nothing},
    {'L', "", true, 0, '\0', -1, Opens::Nothing},
    {'M', "", false, 0, '\0', -1, Opens::Nothing},
    {'7', "", true, 20058, '\0', -1, Opens::FileSource},
    {'2', "", false, 0, '\0', -1, Opens::Nothing},
    {'Z', "", true, 0, '\0', -1, Opens::Nothing},
    {'A', "C_PORT", true, 0, '\0', -1, Opens::Stream},
    {'e', "", false, 20154, '\0', -1, Opens::Nothing},
    {'5', "", false, 0, '\0', -1, Opens::Nothing},
    {'X', "", true, 11500, '8', -1, Opens::Stream},
    {'8', "", true, 0, '\0', -1, Opens::Stream},
    {'9', "", false, 20000, '\0', -1, Opens::Nothing},
    {'V', "C_USOCK", true, 20000, '\0', -1, Opens::Nothing},
    {'T', "C_UBIND", true, 20000, '\0', -1, Opens::Nothing},
    {'W', "C_UDPSET", true, 20000, '\0', -1, Opens::Nothing},
    {'c', "", true, 0, '\0', -1, Opens::Nothing},
    {'I', "", true, kNever, '\0', -1, Opens::Nothing},
    {'a', "", true, kFirstResolve, '\0', -1, Opens::Nothing},
    {'b', "", true, kFirstResolve, '\0', -1, Opens::Nothing},
    {'f', "", false, 20155, '\0', 0, Opens::Nothing},
    {'g', "", false, 20000, 'G', -1, Opens::Nothing},
    {'G', "", true, 0, '\0', -1, Opens::Nothing},
    {'h', "", false, 20000, 'H', -1, Opens::Nothing},
    {'H', "", true, 0, '\0', -1, Opens::Nothing},
    {'N', "", false, 0, '\0', -1, Opens::Nothing},
    // veskd's own, for directory trees: make a directory "mode\nname", make
    // a symbolic link "name\ntarget", set exact times and the finished mode
    // "mode mtime atime\nname", rename "from\nto", name the tree's top
    // "name", list a tree "name" (the reply is the listing's byte count, and
    // the listing follows as stream data, as a file's after '7').
    {'K', "", true, kFirstTrees, '\0', -1, Opens::Nothing},
    {'k', "", true, kFirstTrees, '\0', -1, Opens::Nothing},
    {'P', "", true, kFirstTrees, '\0', -1, Opens::Nothing},
    {'R', "", true, kFirstTrees, '\0', -1, Opens::Nothing},
    {'U', "", true, kFirstTrees, '\0', -1, Opens::Nothing},
    {'Q', "", true, kFirstTrees, '\0', -1, Opens::FileSource},
};

// Returns the table's entry for code, or nullptr for a code it does not list.
constexpr const Command *find_command(char code) {
    for (const Command &c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

// Whether a client reads a reply after sending this code (as sent, after any
// translation to an old form).  NUL never has one: it cannot be sent.
constexpr bool has_reply(char code) {
    if (code == '\0') return false;
    const Command *c = find_command(code);
    return c == nullptr || c->has_reply;
}

// Returns the first server version that knows code; 0 for every version.
constexpr unsigned long first_version(char code) {
    const Command *c = find_command(code);
    return c == nullptr ? 0 : c->first_version;
}

// Whether a server of version v knows code.
constexpr bool version_knows(unsigned long v, char code) {
    unsigned long first = first_version(code);
    return first != kNever && v >= first;
}

// Returns what code opens on its channel.
constexpr Opens opens(char code) {
    const Command *c = find_command(code);
    return c == nullptr ? Opens::Nothing : c->opens;
}

}  // namespace vesk::proto
