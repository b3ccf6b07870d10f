// The UDP pairs of one link: a datagram socket on this machine for each pair
// a client asked for, whose datagrams cross the link as urgent frames.  The
// pair's number was given out by the client's veskd; the channel that made a
// pair owns it and tears it down when it goes.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <unordered_map>

#include "link.h"
#include "loop.h"

namespace vesk {

class UdpPairs {
  public:
    // Both must outlive the table.
    UdpPairs(Loop &loop, Link &link) : loop_(loop), link_(link) {}
    // Closes every pair's socket.
    ~UdpPairs();
    UdpPairs(const UdpPairs &) = delete;
    UdpPairs &operator=(const UdpPairs &) = delete;

    // One request of a channel (owner; far: it came over the link):
    // 'V' "N ..." makes pair N, 'T' "N PORT [ADDR]" binds it (loopback when
    // no address), 'W' "N :a.b.c.d:port" aims it.  Returns true when done,
    // else false with the reason in *why.
    bool command(char code, std::string_view arg, ChanKey owner, bool far, std::string *why);
    // Closes the pairs the channel made.
    void drop_owner(ChanKey owner);
    // A datagram from the far end for the pair: sent to its target, or to
    // whoever sent the bound end one last (dropped when neither is known).
    void deliver(ChanKey pair, std::string_view datagram);

  private:
    // One UDP socket of a pair, on this machine.
    struct End {
        int fd = -1;
        ChanKey owner = 0;
        bool aimed = false;
        sockaddr_storage target{};  // IPv4 or IPv6
        socklen_t target_len = 0;
        bool have_sender = false;
        sockaddr_storage last_sender{};
        socklen_t sender_len = 0;
    };

    bool create(ChanKey pair, ChanKey owner, std::string *why);
    bool bind(ChanKey pair, std::string_view arg, std::string *why);
    bool aim(ChanKey pair, std::string_view arg, std::string *why);
    // The pair's end, or nullptr with *why set.
    End *find(ChanKey pair, std::string *why);
    void on_readable(ChanKey pair);

    Loop &loop_;
    Link &link_;
    std::unordered_map<ChanKey, End> ends_;
};

}  // namespace vesk
