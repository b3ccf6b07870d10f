// veskd's command table and the handlers that are not a unit's own member
// (see dispatch.h).
#include "dispatch.h"

#include <climits>
#include <cstdio>
#include <string>
#include <type_traits>

#include "commands.h"
#include "decimal.h"
#include "dirs.h"
#include "filework.h"
#include "log.h"
#include "offloop.h"
#include "outlet.h"
#include "session.h"
#include "stream.h"
#include "udp.h"

namespace vesk::dispatch {
namespace {

// A handler that is one member of FileWork, given the argument when it
// takes one.
template <auto member>
void file_work(Units &u, char, std::string_view arg) {
    if constexpr (std::is_invocable_v<decltype(member), FileWork &, std::string_view>)
        (u.files.*member)(arg);
    else
        (u.files.*member)();
}

// A one-shot operation on a name, in the channel's scope.
template <FileWork::NameWork work>
void by_name(Units &u, char, std::string_view arg) {
    u.files.on_name(work, arg);
}

void stats(Units &u, char, std::string_view arg) {
    long what = 0;
    if (!arg.empty() && !parse_long(arg, LONG_MIN / 2, LONG_MAX / 2, &what))
        return u.outlet.reply(false, "Bad statistics request");
    u.outlet.reply(true, u.session.stats(what, u.key));
}

void compression(Units &u, char, std::string_view arg) {
    long v;
    if (!parse_long(arg, INT_MIN, INT_MAX, &v))
        return u.outlet.reply(false, "Bad compression setting");
    u.session.set_compress(u.key, v > 0);
    u.outlet.reply(true, v > 0 ? "compression on" : "compression off");
}

// 'd' and its old form 'B', which alone is answered.
void priority(Units &u, char code, std::string_view arg) {
    long v;
    bool ok = parse_long(arg, INT_MIN, INT_MAX, &v);
    if (ok) u.session.set_priority(u.key, int(v));
    if (proto::has_reply(code)) u.outlet.reply(ok, ok ? "priority set" : "Bad priority");
}

// In the channel's scope: beneath a tree's top once 'U' named one.
void file_status(Units &u, char, std::string_view arg) {
    u.off.status(arg, u.files.scope());
}

void tree_listing(Units &u, char, std::string_view arg) {
    FileWork &files = u.files;
    u.off.list_tree(arg, files.scope(), [&files](int fd) { files.send_listing(fd); });
}

void resolve(Units &u, char, std::string_view arg) {
    u.off.resolve(arg, u.session.host(), u.session.addr());
}

void connect_tcp(Units &u, char, std::string_view arg) {
    u.stream.connect_tcp(arg);
}

// 'X' and '8': the X display may really be elsewhere (--x11-socket).
void connect_unix(Units &u, char, std::string_view arg) {
    u.stream.connect_unix(u.session.map_socket_path(std::string(arg)));
}

void udp(Units &u, char code, std::string_view arg) {
    std::string why;
    bool ok = u.udp.command(code, arg, u.key, u.remote, &why);
    u.outlet.reply(ok, ok ? "OK" : why);
}

void log_connection(Units &u, char, std::string_view arg) {
    log::info("channel %u: connection from %.*s", chan_id(u.key), int(arg.size()), arg.data());
}

void log_message(Units &u, char, std::string_view arg) {
    log::info("channel %u: %.*s", chan_id(u.key), int(arg.size()), arg.data());
}

void no_effect(Units &u, char code, std::string_view) {
    log::debug("channel %u: command '%c' has no effect here", chan_id(u.key), code);
}

// A local client's 'y' is answered by its Client before it gets here, so only
// the far end's reaches this: veskd's state is for those who may use its
// socket.
void local_only(Units &u, char, std::string_view) {
    u.outlet.reply(false, "status is answered for local clients only");
}

constexpr Route kRoutes[] = {
    {'F', Unit::kSession, stats},
    {'C', Unit::kSession, compression},
    {'d', Unit::kSession, priority},
    {'B', Unit::kSession, priority},
    {'D', Unit::kOffLoop, file_status},
    {'c', Unit::kOffLoop, resolve},
    {'6', Unit::kFiles, file_work<&FileWork::open_fresh>},
    {'1', Unit::kFiles, file_work<&FileWork::open_at>},
    {'E', Unit::kFiles, file_work<&FileWork::seek>},
    {'M', Unit::kFiles, file_work<&FileWork::sync>},
    {'O', Unit::kFiles, file_work<&FileWork::finish>},
    {'7', Unit::kFiles, file_work<&FileWork::read>},
    {'2', Unit::kFiles, file_work<&FileWork::stop_read>},
    {'Z', Unit::kFiles, by_name<files::remove>},
    {'K', Unit::kFiles, by_name<files::make_dir>},
    {'k', Unit::kFiles, by_name<files::make_link>},
    {'P', Unit::kFiles, by_name<files::set_exact>},
    {'R', Unit::kFiles, by_name<files::rename_entry>},
    {'U', Unit::kFiles, file_work<&FileWork::set_tree>},
    {'Q', Unit::kOffLoop, tree_listing},
    {'A', Unit::kStream, connect_tcp},
    {'X', Unit::kStream, connect_unix},
    {'8', Unit::kStream, connect_unix},
    {'V', Unit::kUdp, udp},
    {'T', Unit::kUdp, udp},
    {'W', Unit::kUdp, udp},
    {'e', Unit::kLog, log_connection},
    {'9', Unit::kLog, log_message},
    {'g', Unit::kNone, no_effect},
    {'h', Unit::kNone, no_effect},
    {'f', Unit::kNone, no_effect},
    {'N', Unit::kNone, no_effect},
    {proto::kStatusCode, Unit::kNone, local_only},
};

// Each row serves a code of the protocol, and a code that opens a file or a
// socket is served by the unit that holds it: Files or Stream, whose
// descriptors the CommandRunner counts against the far end's budget.  Checked here,
// where the table is made, so that a row that breaks it does not build.
// (The rows are searched by code, not through find_command: a sanitizing
// build cannot compare a pointer with null in a constant expression.)
constexpr bool served_by_holder() {
    for (const Route &r : kRoutes) {
        bool listed = false;
        proto::Opens o = proto::Opens::Nothing;
        for (const proto::Command &c : proto::kCommands) {
            if (c.code != r.code) continue;
            listed = true;
            o = c.opens;
        }
        if (!listed) return false;
        Unit holder = o == proto::Opens::Stream ? Unit::kStream : Unit::kFiles;
        // A tree's listing is made off the loop, then sent by Files.
        if (r.code == 'Q' && r.unit == Unit::kOffLoop) continue;
        if (o != proto::Opens::Nothing ? r.unit != holder : r.unit == Unit::kStream) return false;
    }
    return true;
}
static_assert(served_by_holder(),
              "a row serves no protocol code, or not by the unit that holds what it opens");

// A code without a reply gets none even when unknown: the client would take
// it for the answer to its next request.
void unknown(Units &u, char code) {
    if (!proto::has_reply(code)) {
        log::info("channel %u: unknown command '%c' ignored", chan_id(u.key), code);
        return;
    }
    char text[64];
    snprintf(text, sizeof text, "Unknown command '%c' (%d)", code, code);
    u.outlet.reply(false, text);
}

}  // namespace

std::span<const Route> routes() {
    return kRoutes;
}

const Route *find(char code) {
    for (const Route &r : kRoutes)
        if (r.code == code) return &r;
    return nullptr;
}

void serve(Units &u, char code, std::string_view arg) {
    if (const Route *r = find(code)) return r->serve(u, code, arg);
    unknown(u, code);
}

}  // namespace vesk::dispatch
