// One veskd's half of a link session: the clients on its socket, the Peers
// that serve the far end's clients, the UDP pairs, and the link between.
#pragma once

#include <cstdint>
#include <memory>
#include <sys/socket.h>
#include <string>
#include <unordered_map>
#include <vector>

#include "budget.h"
#include "commands.h"
#include "link.h"
#include "loop.h"
#include "remote.h"
#include "scope.h"
#include "ends.h"
#include "udp.h"
#include "workers.h"

namespace vesk {

class Client;
class Session;
struct ClientInfo;

struct Config {
    unsigned long version = proto::kServerVersion;  // the command set this end answers for
    std::string x11_socket;  // where 'X' for display 0 really goes ("": as asked)
    int share = 0;
    std::string suffix;
    std::string socket_path;  // filled by the socket set-up
    size_t frame_max = 0;     // data frame payload, bytes (0: the default)
    // stdio and exec: links carry checked packets (--trust-line: plain frames,
    // for a pipe that never damages a byte; both ends must agree).
    bool checked_frames = true;
    int alive_ms = 30 * 1000;  // silence that ends the link (0: none)
    Scope far_files;           // where the far end's file requests may lead
    Scope local_files;         // ... and this end's clients' (they act as themselves)
    // The threads for lookups and checksums, shared by the sessions of one
    // veskd so that their bound holds across links (none: a pool of its own).
    std::shared_ptr<Workers> workers;
};

// What the daemon that runs a session learns from it.
class SessionOwner {
  public:
    virtual ~SessionOwner() = default;
    // The far end answered: clients may be given to adopt().
    virtual void session_up(const frame::Hello &far) = 0;
    // The link ended (clean: the far end said goodbye first); why is for
    // the log.  Every client is closed already; the session may be
    // destroyed once this returns.
    virtual void session_down(bool clean, const std::string &why) = 0;
    // A client left: a paused socket may accept again.
    virtual void client_left() = 0;
    // The report a local client's status request gets (json: one JSON
    // object, else lines for a person).
    virtual std::string status_report(bool json) {
        (void)json;
        return "";
    }
};

// One link's worth of service: made when the link opens, destroyed after it
// ends.  The link's descriptors stay the caller's.
class Session : public LinkEvents {
  public:
    Session(Loop &loop, Config config, const transport::LinkEnds &ends, SessionOwner &owner);
    ~Session() override;

    // Sends HELLO and starts the link.
    void start();
    // Serves a client accepted on the socket (takes the descriptor).
    void adopt(int fd, const ucred &cred);
    // SIGTERM: says goodbye and closes every client; session_down does not
    // follow.
    void shut_down();

    Loop &loop() { return loop_; }
    Link &link() { return link_; }
    Workers &workers() { return *workers_; }
    // What the far end holds here, across all its channels.
    FarBudget &budget() { return budget_; }
    // Where file names of the far end's requests (remote) or of this end's
    // clients lead.
    const Scope &scope(bool remote) const {
        return remote ? config_.far_files : config_.local_files;
    }
    unsigned long reported_version() const;
    // Whether a request of this code from the far end is one this end's
    // version knows.
    bool knows(char code) const;
    const std::string &host() const { return host_; }
    uint32_t addr() const { return addr_; }
    int64_t rtt_us() const { return link_.rtt_us(); }
    void set_compress(ChanKey key, bool on) { link_.set_compress(key, on); }
    void set_priority(ChanKey key, int prio) { link_.set_priority(key, prio); }
    std::string map_socket_path(const std::string &path) const;
    // The text 'F' answers for sub-code what (one of proto's kStats codes;
    // any other: the summary), asked on the channel asker.
    std::string stats(long what, ChanKey asker) const;
    // The clients on the socket now, oldest first.
    std::vector<ClientInfo> clients() const;
    // Channels the far end's clients hold here.
    size_t far_channels() const { return remotes_.size(); }
    std::string status_report(bool json) { return owner_.status_report(json); }
    void client_gone(uint32_t id);
    void remote_gone(uint32_t id);
    UdpPairs &udp() { return udp_; }

    // LinkEvents
    void on_link_up(const frame::Hello &far) override;
    void on_frame(uint8_t type, ChanKey key, std::string_view payload) override;
    void on_drained(ChanKey key) override;
    void on_link_down(bool clean, const std::string &why) override;

  private:
    // Ends every client; those that may still read a reply hear why
    // ("": nothing to tell).
    void abort_clients(const std::string &why = "");
    void sweep();

    Loop &loop_;
    Config config_;
    SessionOwner &owner_;
    std::shared_ptr<Workers> workers_;
    Link link_;
    std::string host_;
    uint32_t addr_ = 0;
    uint32_t next_id_ = 1;
    bool sweep_pending_ = false;
    // Work deferred to the loop checks this first: the Session may be gone.
    std::shared_ptr<char> life_ = std::make_shared<char>();
    FarBudget budget_;  // before the channels that give back to it
    std::unordered_map<uint32_t, std::unique_ptr<Client>> clients_;
    std::unordered_map<uint32_t, std::unique_ptr<RemoteSide>> remotes_;
    std::vector<std::unique_ptr<Client>> dead_clients_;
    std::vector<std::unique_ptr<RemoteSide>> dead_remotes_;
    UdpPairs udp_;  // after link_: its sockets close before the link goes
};

}  // namespace vesk
