// displink's X authority entry through the xauth program, and the record
// that lets a later run undo it after a KILL.  Whatever runs from a signal
// handler (remove_entry and what it calls) uses only async-signal-safe calls
// on what install prepared beforehand.
#include "xauth.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "descriptors.h"
#include "xsetup.h"

extern char **environ;

namespace vesk::forward::xauth {
namespace {

constexpr size_t kPathBytes = 4096;
constexpr size_t kDisplayBytes = 16;       // ":" and a display number
constexpr size_t kOutputReadChunk = 4096;  // bytes per read of xauth's output
// QUIT too: its core dump is no reason to leave the user's entry replaced.
constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
// Beside the authority file, a record "<file>.displink<N>" of what display N's
// displink replaced, for a later run to put back if it was killed (KILL
// gives no chance to): its pid, then what nextract gave before.
constexpr const char *kRecordInfix = ".displink";
constexpr int kMaxRecordDisplay = 99;    // displink serves displays 0 to 99
constexpr size_t kRecordHeadBytes = 32;  // "pid\n"

// Prepared by install for remove_entry.
char g_program[kPathBytes];
char g_display[kDisplayBytes];
char g_record[kPathBytes];
std::string g_saved;  // what xauth nextract gave for the display before ours
volatile sig_atomic_t g_armed = 0;

// Finds xauth on PATH into g_program.
bool find_program() {
    const char *path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/xauth";
        if (candidate.size() < kPathBytes && access(candidate.c_str(), X_OK) == 0) {
            std::memcpy(g_program, candidate.c_str(), candidate.size() + 1);
            return true;
        }
    }
    return false;
}

// Starts xauth with argv (argv[0] aside, which is xauth), standard input from
// in_fd and standard output to out_fd (-1: /dev/null), standard error
// dropped.  Returns its pid, or -1.
pid_t start(const char *const argv[], int in_fd, int out_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null_fd = open("/dev/null", O_RDWR);
    dup2(in_fd >= 0 ? in_fd : null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    dup2(null_fd, 2);
    execve(g_program, const_cast<char *const *>(argv), environ);
    _exit(127);
}

// Waits for pid.  Returns its exit status, or -1 when it did not exit.
int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs xauth with argv, feeding it in (in_len bytes, none when 0).  Returns
// its exit status or -1.
int run_feeding(const char *const argv[], const char *in, size_t in_len) {
    int sv[2] = {-1, -1};
    if (in_len > 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    pid_t pid = start(argv, sv[1], -1);
    if (sv[1] >= 0) close(sv[1]);
    // A short write is xauth's to notice: its status tells.
    if (pid > 0 && in_len > 0) vesk::write_all(sv[0], in, in_len);
    if (sv[0] >= 0) close(sv[0]);
    return pid > 0 ? wait_for(pid) : -1;
}

// Runs xauth with argv and gathers its standard output.  Returns its exit
// status or -1.
int run_reading(const char *const argv[], std::string *out) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    pid_t pid = start(argv, -1, p[1]);
    close(p[1]);
    char buf[kOutputReadChunk];
    for (;;) {
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out->append(buf, size_t(n));
    }
    close(p[0]);
    return pid > 0 ? wait_for(pid) : -1;
}

bool from_hex(std::string_view hex, std::vector<uint8_t> *bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(std::string(hex.substr(i, 2)).c_str(), "%2x", &v) != 1) return false;
        bytes->push_back(uint8_t(v));
    }
    return true;
}

std::string to_hex(const std::vector<uint8_t> &bytes) {
    std::string hex;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// The authority file xauth uses: $XAUTHORITY, else ~/.Xauthority.
std::string authority_file() {
    const char *file = std::getenv("XAUTHORITY");
    if (file != nullptr && *file != '\0') return file;
    const char *home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.Xauthority" : "";
}

// Whether pid is a displink that is still running.
bool displink_alive(pid_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return false;
    char comm[32] = "";
    bool ours = std::fgets(comm, sizeof comm, f) != nullptr &&
                std::string_view(comm).substr(0, 8) == "displink";
    std::fclose(f);
    return ours;
}

bool read_file(const std::string &path, std::string *out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    char buf[kOutputReadChunk];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out->append(buf, size_t(n));
    }
    close(fd);
    return n == 0;
}

// Puts back what the displinks that left a record and are gone replaced in
// the authority file: their cookie out, the user's entry in.
void restore_orphans(const std::string &authority) {
    for (int number = 0; number <= kMaxRecordDisplay; number++) {
        std::string path = authority + kRecordInfix + std::to_string(number);
        std::string record;
        if (!read_file(path, &record)) continue;
        size_t eol = record.find('\n');
        if (eol == std::string::npos || displink_alive(pid_t(std::atol(record.c_str())))) continue;
        std::string saved = record.substr(eol + 1);
        char display[kDisplayBytes];
        std::snprintf(display, sizeof display, ":%d", number);
        const char *drop[] = {"xauth", "-q", "remove", display, nullptr};
        run_feeding(drop, nullptr, 0);
        const char *merge[] = {"xauth", "-q", "nmerge", "-", nullptr};
        if (saved.empty() || run_feeding(merge, saved.data(), saved.size()) == 0)
            unlink(path.c_str());
    }
}

// Writes the record of what this run replaces, whole or not at all.
bool write_record(const std::string &path, const std::string &saved) {
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    char head[kRecordHeadBytes];
    std::snprintf(head, sizeof head, "%d\n", int(getpid()));
    std::string all = head + saved;
    bool ok = vesk::write_all(fd, all.data(), all.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

void on_end_signal(int sig) {
    remove_entry();
    // The handler was reset to the default: the process ends by the signal,
    // as it would have without an entry to take out.
    raise(sig);
}

}  // namespace

bool lookup(const std::string &display, std::vector<uint8_t> *cookie) {
    if (g_program[0] == '\0' && !find_program()) return false;
    const char *argv[] = {"xauth", "-q", "list", display.c_str(), nullptr};
    std::string out;
    if (run_reading(argv, &out) != 0) return false;
    // Lines of "display  scheme  hex".
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        char scheme[64], hex[2 * x11::kMaxAuthData + 1];
        std::string line = out.substr(at, end - at);
        if (std::sscanf(line.c_str(), "%*s %63s %2048s", scheme, hex) == 2 &&
            x11::kCookieName == scheme && from_hex(hex, cookie) &&
            cookie->size() == x11::kCookieBytes)
            return true;
        at = end + 1;
    }
    return false;
}

bool install(int number, const std::vector<uint8_t> &cookie, std::string *error) {
    if (!find_program()) {
        *error = "the xauth program is not on PATH; it is needed for the display's cookie";
        return false;
    }
    std::string authority = authority_file();
    std::string record = authority + kRecordInfix + std::to_string(number);
    if (authority.empty() || record.size() >= kPathBytes) {
        *error = "no X authority file: neither XAUTHORITY nor HOME is set";
        return false;
    }
    restore_orphans(authority);
    std::snprintf(g_display, sizeof g_display, ":%d", number);
    const char *extract[] = {"xauth", "-q", "nextract", "-", g_display, nullptr};
    g_saved.clear();
    run_reading(extract, &g_saved);
    if (!write_record(record, g_saved)) {
        *error = "cannot write " + record + ": " + strerror(errno);
        return false;
    }
    std::memcpy(g_record, record.c_str(), record.size() + 1);
    std::string hex = to_hex(cookie);
    std::string scheme(x11::kCookieName);
    const char *add[] = {"xauth", "-q", "add", g_display, scheme.c_str(), hex.c_str(), nullptr};
    if (run_feeding(add, nullptr, 0) != 0) {
        unlink(g_record);
        *error = std::string("xauth could not add the cookie of display ") + g_display;
        return false;
    }
    g_armed = 1;
    struct sigaction sa {};
    sa.sa_handler = on_end_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : kEndSignals) sigaddset(&sa.sa_mask, sig);
    for (int sig : kEndSignals) sigaction(sig, &sa, nullptr);
    std::atexit(remove_entry);
    return true;
}

void remove_entry() {
    if (!g_armed) return;
    g_armed = 0;
    const char *drop[] = {"xauth", "-q", "remove", g_display, nullptr};
    run_feeding(drop, nullptr, 0);
    if (!g_saved.empty()) {
        const char *merge[] = {"xauth", "-q", "nmerge", "-", nullptr};
        // Kept when the entry cannot be put back: the next run tries.
        if (run_feeding(merge, g_saved.data(), g_saved.size()) != 0) return;
    }
    unlink(g_record);
}

}  // namespace vesk::forward::xauth
