// regquery: one whois query to a server reached through the link, with the
// answer copied to standard output in printable form.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "program_help.h"
#include "vesknet.h"
#include "whois_text.h"

namespace {

constexpr int kFailure = 1;          // usage errors and every reported failure
constexpr int kCloseFailure = 255;   // the answer stream could not be closed cleanly
constexpr size_t kIpv4Length = 4;    // bytes of an AF_INET address
constexpr char kLineEnd[] = "\r\n";  // ends the query on the wire

// Host entry for a dotted address that the far resolver does not know.
struct NumericHost {
    std::string name;
    in_addr_t address = 0;
    char *addresses[2] = {nullptr, nullptr};
    char *aliases[1] = {nullptr};
    hostent entry{};

    NumericHost(const std::string &typed, in_addr_t addr) : name(typed), address(addr) {
        addresses[0] = reinterpret_cast<char *>(&address);
        entry.h_name = name.data();
        entry.h_aliases = aliases;
        entry.h_addrtype = AF_INET;
        entry.h_length = kIpv4Length;
        entry.h_addr_list = addresses;
    }
    NumericHost(const NumericHost &) = delete;
    NumericHost &operator=(const NumericHost &) = delete;
};

// Copies the answer on fd to standard output.  Returns the exit status.
int copy_answer(int fd) {
    FILE *in = fdopen(fd, "r");
    if (in == nullptr) {
        std::perror("regquery: fdopen");
        vesk_close(fd);
        return kFailure;
    }
    whois::AnswerFilter filter;
    for (int c; (c = std::getc(in)) != EOF;) {
        const int out = filter.feed(c);
        if (out >= 0) std::putchar(out);
    }
    if (filter.needs_final_newline()) std::putchar('\n');
    int status = std::fclose(in) == 0 ? 0 : kCloseFailure;
    // An answer that did not reach standard output (a full disk, a closed
    // pipe) is not a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("regquery: standard output");
        return kFailure;
    }
    return status;
}

}  // namespace

constexpr const char *kUsage = "usage: regquery user[@<whois.server>]\n";

int main(int argc, char **argv) {
    vesk::help::answer(argc, argv, "regquery", kUsage, nullptr);
    if (argc != 2) {
        std::fputs(kUsage, stdout);
        return kFailure;
    }
    const whois::Query query = whois::split_query(argv[1]);

    hostent *host = vesk_gethostbyname(query.server.c_str());
    if (host != nullptr && (host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr))
        host = nullptr;  // an entry without an address is no use
    std::unique_ptr<NumericHost> numeric;
    if (host == nullptr) {
        const in_addr_t addr = inet_addr(query.server.c_str());
        if (addr == INADDR_NONE) {
            std::fprintf(stderr, "regquery: unknown host: %s\n", query.server.c_str());
            return kFailure;
        }
        numeric = std::make_unique<NumericHost>(query.server, addr);
        host = &numeric->entry;
    }

    const servent *service = getservbyname("whois", "tcp");
    if (service == nullptr) {
        std::fprintf(stderr, "regquery: tcp/whois: unknown service\n");
        return kFailure;
    }

    sockaddr_in server{};
    server.sin_family = static_cast<sa_family_t>(host->h_addrtype);
    server.sin_port = static_cast<in_port_t>(service->s_port);
    // Never copy more than the address field holds, whatever the entry claims.
    const size_t length = std::min(static_cast<size_t>(host->h_length), sizeof server.sin_addr);
    std::memcpy(&server.sin_addr, host->h_addr_list[0], length);

    const int fd = vesk_socket(host->h_addrtype, SOCK_STREAM, 0);
    if (fd < 0) {
        vesk_perror("regquery: socket");
        return kFailure;
    }
    std::printf("[%s]\n", host->h_name);
    if (vesk_connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) < 0) {
        std::fflush(stdout);
        vesk_perror("regquery: connect");
        vesk_close(fd);
        return kFailure;
    }
    // A failed write shows as a missing or short answer; there is no other
    // report to make.
    (void)!write(fd, query.text.data(), query.text.size());
    (void)!write(fd, kLineEnd, sizeof kLineEnd - 1);
    return copy_answer(fd);
}
