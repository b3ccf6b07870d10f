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

// What answers a command.
enum class Answer : unsigned char {
    Reply,      // a reply message
    None,       // nothing
    DataReset,  // the end of the file data it stops (no reply message)
};

// What the client's channel is after the command, at its own veskd.
enum class Mode : unsigned char {
    Command,  // requests, as before
    Dump,     // the next n bytes are data for the file sink opened before
    Stream,   // everything that follows is stream data
};

// The kinds of client veskd --status tells apart, by the first command
// that says which a client is.
constexpr const char *kKindUpload = "upload";
constexpr const char *kKindX = "X";
constexpr const char *kKindUdp = "UDP pair";

struct Command {
    char code;
    // As the clients' messages call it (C_PORT) where they name it, else
    // what it does.
    const char *name;
    Answer answer;
    // First server version that knows the code; 0 for every version.
    unsigned long first_version;
    // Sent instead to a server older than first_version; '\0' when none.
    char old_form;
    // The call's result when the server is too old and there is no old form.
    int refused_result;
    Opens opens;
    Mode mode;
    // The kind of client it shows, or nullptr for commands any kind sends.
    const char *kind;
};

// Every code a client sends, the old forms included, and veskd's own.  Codes
// not listed pass unchanged, known to every version, with a reply.
inline constexpr Command kCommands[] = {
    {'F', "C_STATS", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'C', "compression", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'d', "priority", Answer::None, 20000, 'B', -1, Opens::Nothing, Mode::Command, nullptr},
    {'B', "priority, answered", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'D', "file status", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'1', "write at", Answer::Reply, 0, '\0', -1, Opens::FileSink, Mode::Command, kKindUpload},
    {'6', "write afresh", Answer::Reply, 0, '\0', -1, Opens::FileSink, Mode::Command, kKindUpload},
    {'E', "seek", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'O', "finish", Answer::None, 20055, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'l', "dump", Answer::None, 20000, 'L', -1, Opens::Nothing, Mode::Dump, kKindUpload},
    {'L', "dump, answered", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Dump, kKindUpload},
    {'M', "sync", Answer::None, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'7', "read", Answer::Reply, 20058, '\0', -1, Opens::FileSource, Mode::Command, "download"},
    {'2', "stop reading", Answer::DataReset, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'Z', "remove", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'A', "C_PORT", Answer::Reply, 0, '\0', -1, Opens::Stream, Mode::Command, "port"},
    {'e', "connection from", Answer::None, 20154, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'5', "stream", Answer::None, 0, '\0', -1, Opens::Nothing, Mode::Stream, nullptr},
    {'X', "X display", Answer::Reply, 11500, '8', -1, Opens::Stream, Mode::Command, kKindX},
    {'8', "X display, old", Answer::Reply, 0, '\0', -1, Opens::Stream, Mode::Command, kKindX},
    {'9', "log", Answer::None, 20000, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'V', "C_USOCK", Answer::Reply, 20000, '\0', -1, Opens::Nothing, Mode::Command, kKindUdp},
    {'T', "C_UBIND", Answer::Reply, 20000, '\0', -1, Opens::Nothing, Mode::Command, kKindUdp},
    {'W', "C_UDPSET", Answer::Reply, 20000, '\0', -1, Opens::Nothing, Mode::Command, kKindUdp},
    {'c', "resolve", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'I', "never served", Answer::Reply, kNever, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'a', "reserved a", Answer::Reply, kFirstResolve, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'b', "reserved b", Answer::Reply, kFirstResolve, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'f', "reserved f", Answer::None, 20155, '\0', 0, Opens::Nothing, Mode::Command, nullptr},
    {'g', "reserved g", Answer::None, 20000, 'G', -1, Opens::Nothing, Mode::Command, nullptr},
    {'G', "reserved g, answered", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'h', "reserved h", Answer::None, 20000, 'H', -1, Opens::Nothing, Mode::Command, nullptr},
    {'H', "reserved h, answered", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'N', "reserved N", Answer::None, 0, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    // veskd's own, for directory trees: make a directory "mode\nname", make
    // a symbolic link "name\ntarget", set exact times and the finished mode
    // "mode mtime atime\nname", rename "from\nto", name the tree's top
    // "name", list a tree "name" (the reply is the listing's byte count, and
    // the listing follows as stream data, as a file's after '7').
    {'K', "make directory", Answer::Reply, kFirstTrees, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'k', "make link", Answer::Reply, kFirstTrees, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'P', "set times and mode", Answer::Reply, kFirstTrees, '\0', -1, Opens::Nothing, Mode::Command,
     nullptr},
    {'R', "rename", Answer::Reply, kFirstTrees, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'U', "tree top", Answer::Reply, kFirstTrees, '\0', -1, Opens::Nothing, Mode::Command, nullptr},
    {'Q', "list tree", Answer::Reply, kFirstTrees, '\0', -1, Opens::FileSource, Mode::Command,
     nullptr},
    // veskd --status (kStatusCode above).
    {kStatusCode, "status", Answer::Reply, 0, '\0', -1, Opens::Nothing, Mode::Command, "status"},
};

// Returns the table's entry for code, or nullptr for a code it does not list.
constexpr const Command *find_command(char code) {
    for (const Command &c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

// What answers code (as sent, after any translation to an old form).
constexpr Answer answer(char code) {
    if (code == '\0') return Answer::None;  // it cannot be sent
    const Command *c = find_command(code);
    return c == nullptr ? Answer::Reply : c->answer;
}

// Whether a client reads a reply after sending this code.
constexpr bool has_reply(char code) {
    return answer(code) == Answer::Reply;
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

// Returns what the client's channel is after code.
constexpr Mode mode(char code) {
    const Command *c = find_command(code);
    return c == nullptr ? Mode::Command : c->mode;
}

// Returns the kind of client code shows, or nullptr.
constexpr const char *kind(char code) {
    const Command *c = find_command(code);
    return c == nullptr ? nullptr : c->kind;
}

}  // namespace vesk::proto
