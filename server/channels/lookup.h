// Name lookups for 'A' and 'c'.  Each blocks for as long as the resolver
// takes: call them on a worker thread, never on the loop.
#pragma once

#include <netinet/in.h>
#include <string>

namespace vesk::lookup {

struct Result {
    bool ok = false;
    in_addr addr{};    // the first IPv4 address (network order)
    std::string text;  // 'c': "address-in-hex canonical-name"; on failure the reason
};

// The host's first IPv4 address, for a connection.  On failure text is the
// resolver's reason ("Unknown host" when it gave none).
Result address(const std::string &host);
// The host's first IPv4 address and its canonical name, as 'c' answers them.
// On failure text is "Unknown host" or the resolver's reason.
Result canonical(const std::string &host);

}  // namespace vesk::lookup
