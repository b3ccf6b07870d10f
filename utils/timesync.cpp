// timesync: sets the local clock from the far machine's clock, once, or for
// ever when started under a name that ends in 'd' (timesyncd).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/time.h>
#include <unistd.h>

#include "clock_step.h"
#include "commands.h"
#include "program_help.h"
#include "vesknet.h"

namespace {

constexpr int kDefaultPriority = 10;  // link priority asked for unless -p says otherwise
constexpr long kDefaultDelay = 300;   // seconds between passes in daemon mode
constexpr long kMinimumDelay = 10;    // seconds: shorter pauses are refused

long delay_seconds = kDefaultDelay;

int option_handler(int option, char *argument) {
    if (option != 'd' || argument == nullptr) return -1;
    std::printf("optarg=%s\n", argument);
    delay_seconds = std::strtol(argument, nullptr, 10);
    if (delay_seconds < kMinimumDelay) {
        std::fprintf(stderr, "Minimum delay is 10 seconds\n");
        return -1;
    }
    if (verbose) std::printf("Delay set to %ld seconds\n", delay_seconds);
    return 0;
}

timesync::ClockReading read_local_clock() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {tv.tv_sec, tv.tv_usec};
}

[[noreturn]] void command_failed() {
    std::fprintf(stderr, "C_STATS command failed. Abort.\n");
    std::exit(1);
}

enum class Pass {
    kDone,
    kNoServer,    // the link server could not be reached; nothing printed
    kClockNotSet  // settimeofday refused; already said on standard error
};

// One synchronisation pass.  A failed command ends the process.
Pass sync_once() {
    const int fd = socket_connect_server(-1, vesk_server);
    if (fd < 0) return Pass::kNoServer;

    const timesync::ClockReading t0 = read_local_clock();
    if (verbose) std::printf("Our time is: %ld %ld\n", long(t0.sec), long(t0.usec));
    if (send_command(fd, 'F', 0, "%ld", vesk::proto::kStatsClock) < 0) command_failed();
    if (verbose) std::printf("Got result:%s:\n", command_result);
    timesync::ClockReading remote;
    // A reply without two numbers gives nothing to set the clock from.
    if (!timesync::parse_remote_clock(command_result, &remote)) command_failed();

    const timesync::ClockReading t1 = read_local_clock();
    if (verbose) std::printf("Our time is: %ld %ld\n", long(t1.sec), long(t1.usec));
    const int64_t diff = timesync::round_trip_us(t0, t1);
    if (verbose) std::printf("Diff = %ld\n", long(diff));
    timesync::ClockReading target;
    if (!timesync::corrected_time(remote, diff, &target)) command_failed();
    if (verbose) std::printf("Setting time to: %ld %ld\n", long(target.sec), long(target.usec));

    timeval tv{};
    tv.tv_sec = target.sec;
    tv.tv_usec = target.usec;
    // A clock left as it was must not pass for a synchronised one.
    const bool set = settimeofday(&tv, nullptr) == 0;
    const int reason = errno;
    close(fd);
    if (!set) {
        std::fflush(stdout);  // trace lines of the pass come first
        std::fprintf(stderr, "timesync: cannot set the clock: %s\n", std::strerror(reason));
        return Pass::kClockNotSet;
    }
    return Pass::kDone;
}

void pause_between_passes() {
    std::fflush(stdout);  // trace lines of a pass appear before the pause
    const unsigned seconds =
        delay_seconds > long(UINT_MAX) ? UINT_MAX : static_cast<unsigned>(delay_seconds);
    sleep(seconds);
}

}  // namespace

int main(int argc, char **argv) {
    const bool daemon_mode = argc > 0 && timesync::invoked_as_daemon(argv[0]);
    vesk::help::answer(argc, argv, daemon_mode ? "timesyncd" : "timesync",
                       daemon_mode ? "Usage: timesyncd [options] [-v] [-d seconds]\n"
                                   : "Usage: timesync [options] [-v]\n",
                       vesk::help::kCommonOptions);
    priority = kDefaultPriority;
    const int first = client_options(argc, argv, daemon_mode ? "vd:" : "v", option_handler);
    if (first < 0 || first > argc) return 1;
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    if (!daemon_mode) {
        const Pass pass = sync_once();
        if (pass == Pass::kNoServer) std::fprintf(stderr, "Vesk: %s\n", command_result);
        return pass == Pass::kDone ? 0 : 1;
    }
    for (;;) {
        // An absent link server or a clock that could not be set costs only
        // this pass; the next one tries again.
        sync_once();
        pause_between_passes();
    }
}
