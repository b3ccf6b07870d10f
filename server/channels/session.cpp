// One veskd's half of a link session (see session.h): accepting clients,
// routing link frames to them, to the far end's channels and to the UDP
// pairs.
#include "session.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>

#include "client.h"
#include "commands.h"
#include "localhost.h"
#include "log.h"

namespace vesk {
namespace {
// Room for an 'F' answer: a host name of at most 255 bytes and the numbers.
constexpr size_t kStatsTextMax = 512;
// Channels the far end may have open here at once.
constexpr size_t kFarChannelsMax = 65536;
// Link-wide frames queued past which refused channels get no CLOSE, bytes:
// about 130,000 refusals of 8 bytes.
constexpr size_t kRefusalsQueuedMax = 1024 * 1024;
// The far end's HELLO may take this long at least, ms: on an exec: link
// over ssh it follows a login, which may wait for a password.
constexpr int kHelloMinMs = 60 * 1000;
}  // namespace

// ---- Session ----

Session::Session(Loop &loop, Config config, const transport::LinkEnds &ends, SessionOwner &owner)
    : loop_(loop),
      config_(std::move(config)),
      owner_(owner),
      workers_(config_.workers ? config_.workers : std::make_shared<Workers>(loop.mailbox())),
      link_(loop, ends.in_fd, ends.out_fd, *this),
      udp_(loop, link_) {
    if (config_.frame_max) link_.set_frame_max(config_.frame_max);
    // A stdio or exec: link may be a serial line that damages bytes; a TCP
    // link is checked by its records, and TCP repairs its own losses.
    if (!ends.is_tcp && config_.checked_frames) link_.check_frames(ends.flow_bytes);
    int alive = config_.alive_ms;
    link_.set_liveness(alive, alive > 0 ? std::max(alive, kHelloMinMs) : 0);
    LocalHost me = local_host(inet_addr("127.0.0.1"));
    host_ = std::move(me.name);
    addr_ = me.addr;
}

Session::~Session() {
    abort_clients();
    clients_.clear();
    remotes_.clear();
    dead_clients_.clear();
    dead_remotes_.clear();
}

void Session::start() {
    frame::Hello mine;
    mine.server_version = uint32_t(config_.version);
    mine.addr = addr_;
    mine.uid = getuid();
    mine.window = Window::kInitial;
    mine.host = host_;
    link_.start(mine);
}

unsigned long Session::reported_version() const {
    unsigned long far = link_.far().server_version;
    return far ? std::min(config_.version, far) : config_.version;
}

bool Session::knows(char code) const {
    return proto::version_knows(reported_version(), code);
}

std::string Session::map_socket_path(const std::string &path) const {
    if (!config_.x11_socket.empty() && path == proto::kXDisplay0Path) return config_.x11_socket;
    return path;
}

std::string Session::stats(long what, ChanKey asker) const {
    char text[kStatsTextMax];
    if (what == proto::kStatsVersion) {
        const frame::Hello &far = link_.far();
        snprintf(text, sizeof text, "VERSION %lu %lx %s %u", reported_version(),
                 (unsigned long)far.addr, far.host.empty() ? "remotehost" : far.host.c_str(),
                 far.uid);
    } else if (what == proto::kStatsChannel) {
        snprintf(text, sizeof text, "%u", chan_id(asker));
    } else if (what == proto::kStatsClock) {
        timeval tv;
        gettimeofday(&tv, nullptr);
        snprintf(text, sizeof text, "%ld %ld", (long)tv.tv_sec, (long)tv.tv_usec);
    } else {
        snprintf(text, sizeof text, "veskd %s channels %zu rtt_us %lld", host_.c_str(),
                 clients_.size() + remotes_.size(), (long long)link_.rtt_us());
    }
    return text;
}

void Session::on_link_up(const frame::Hello &far) {
    log::notice("link up: far end %s (version %u, uid %u)", far.host.c_str(), far.server_version,
                far.uid);
    owner_.session_up(far);
}

void Session::adopt(int fd, const ucred &cred) {
    uint32_t id = next_id_++;
    clients_[id] = std::make_unique<Client>(*this, fd, id, cred);
    log::info("client %u: connected (uid %u, pid %d)", id, unsigned(cred.uid), int(cred.pid));
}

std::vector<ClientInfo> Session::clients() const {
    std::vector<ClientInfo> out;
    for (const auto &[id, c] : clients_)
        if (!c->dead()) out.push_back(c->info());
    std::sort(out.begin(), out.end(),
              [](const ClientInfo &a, const ClientInfo &b) { return a.id < b.id; });
    return out;
}

void Session::client_gone(uint32_t id) {
    owner_.client_left();
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    dead_clients_.push_back(std::move(it->second));
    clients_.erase(it);
    sweep();
}

void Session::remote_gone(uint32_t id) {
    auto it = remotes_.find(id);
    if (it == remotes_.end()) return;
    dead_remotes_.push_back(std::move(it->second));
    remotes_.erase(it);
    sweep();
}

void Session::sweep() {
    if (sweep_pending_) return;
    sweep_pending_ = true;
    std::weak_ptr<char> life = life_;
    loop_.defer([this, life] {
        if (life.expired()) return;
        sweep_pending_ = false;
        dead_clients_.clear();
        dead_remotes_.clear();
    });
}

void Session::on_frame(uint8_t type, ChanKey key, std::string_view payload) {
    uint32_t id = chan_id(key);
    if (type == frame::kDgram) return udp_.deliver(key, payload);
    if (chan_mine(key)) {
        auto it = clients_.find(id);
        if (it == clients_.end()) return;  // already gone here
        Client &c = *it->second;
        switch (type) {
            case frame::kReply:
                return c.far_reply(payload);
            case frame::kData:
                return c.far_data(payload);
            case frame::kEof:
                return c.far_eof();
            case frame::kClose:
                return c.far_close();
            case frame::kDataReset:
                return c.far_data_reset();
            default:
                log::debug("channel %u: unexpected frame %u", id, type);
                return;
        }
    }
    if (type == frame::kOpen) {
        if (remotes_.count(id)) return;
        if (remotes_.size() >= kFarChannelsMax ||
            !budget_.take(FarBudget::kBytes, FarBudget::kChannelBytes)) {
            // Each costs memory and perhaps descriptors here: a far end
            // that opens without end gets its new channels closed.
            log::error("channel %u: too many channels from the far end, closing it", id);
            // Link-wide, so that a refusal costs no channel queue in the link:
            // a flood of OPENs is read faster than its refusals can leave.  A
            // far end that does not even read those gets no more of them.
            if (link_.urgent_bytes() < kRefusalsQueuedMax)
                link_.send_urgent(key, frame::kClose, {});
            return;
        }
        remotes_[id] = std::make_unique<RemoteSide>(*this, key);
        return;
    }
    auto it = remotes_.find(id);
    if (it == remotes_.end()) return;
    RemoteSide &r = *it->second;
    switch (type) {
        case frame::kRequest:
            return r.request(payload);
        case frame::kData:
            return r.data_in(payload);
        case frame::kEof:
            return r.eof_in();
        case frame::kClose:
            link_.drop(key);
            return remote_gone(id);
        default:
            log::debug("channel %u: unexpected frame %u", id, type);
            return;
    }
}

void Session::on_drained(ChanKey key) {
    uint32_t id = chan_id(key);
    if (chan_mine(key)) {
        auto it = clients_.find(id);
        if (it != clients_.end()) it->second->link_drained();
        return;
    }
    auto it = remotes_.find(id);
    if (it != remotes_.end()) it->second->drained();
}

void Session::on_link_down(bool clean, const std::string &why) {
    // Every client sees its socket close, after the reason where it awaits
    // an answer; files being written stay as partial copies (their mode
    // says so) for a later resume.
    std::string far = link_.far().host.empty() ? "the far end" : link_.far().host;
    abort_clients("link to " + far + " is down: " + why);
    owner_.session_down(clean, why);
}

void Session::shut_down() {
    link_.shut_down();
    abort_clients("veskd is shutting down");
}

void Session::abort_clients(const std::string &why) {
    // abort() removes the client from the table: walk a copy of the ids.
    std::vector<uint32_t> ids;
    for (auto &[id, c] : clients_) ids.push_back(id);
    for (uint32_t id : ids) {
        auto it = clients_.find(id);
        if (it != clients_.end()) it->second->abort(why);
    }
}

}  // namespace vesk
