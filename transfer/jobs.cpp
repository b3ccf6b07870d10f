// Several files in flight, one worker process each (jobs.h).
#include "jobs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vesk::transfer {

namespace {

// A worker asks for a file with this byte; it is answered with the file's
// index, or kNoMore.  kDone precedes a report.
constexpr char kWant = 'W';
constexpr char kDone = 'R';
constexpr int32_t kNoMore = -1;

// What a worker reports for one file, followed by len bytes of its lines.
struct Report {
    int32_t index;
    int32_t status;
    int32_t started;
    int64_t total;
    double phase_seconds;
    uint32_t len;
};

bool write_all(int fd, const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        // A worker that has gone must not end the run with SIGPIPE.
        ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool read_all(int fd, void *p, size_t n) {
    char *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool alone(const FileArg &f) {
    return f.source == "-" || f.target == "-";
}

// A worker: its own connection, then one file after another as handed out.
[[noreturn]] void work(Run &run, int fd, const std::vector<FileArg> &files, const MakeWork &make) {
    run_reconnect(run);
    for (;;) {
        int32_t index = kNoMore;
        if (!write_all(fd, &kWant, 1) || !read_all(fd, &index, sizeof index) || index < 0 ||
            static_cast<size_t>(index) >= files.size())
            break;
        // The "-" sources before this file, as a run of one after another
        // would have counted them.
        run.stdin_count = 0;
        for (int32_t k = 0; k < index; ++k) run.stdin_count += files[k].source == "-";
        run.status = 0;
        run.started = 0;
        run.total = 0;
        run.phase_seconds = 0;
        std::unique_ptr<FileWork> w = make(run, files[index]);
        w->msgs.hold();
        print_file_line(run, files[index], w->msgs);
        w->begin();
        if (w->middle()) w->end();
        std::string lines = w->msgs.take();
        w.reset();
        if (run.local_fd > (run.program == Program::kUpload ? 0 : 1)) close(run.local_fd);
        run.local_fd = -1;
        Report r{index,     run.status,        run.started,
                 run.total, run.phase_seconds, static_cast<uint32_t>(lines.size())};
        if (!write_all(fd, &kDone, 1) || !write_all(fd, &r, sizeof r) ||
            !write_all(fd, lines.data(), lines.size()))
            break;
    }
    // A finish posted last (a same-size file's mode) is done before the
    // parent, which waits for this worker, reports the run over.
    run.req.drain();
    fflush(stderr);
    _exit(0);
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    int32_t file = kNoMore;  // the file it works on
    bool waiting = false;    // asked for a file and got no answer yet
};

}  // namespace

void run_jobs(Run &run, const std::vector<FileArg> &files, int jobs, const MakeWork &make) {
    if (jobs > static_cast<int>(files.size())) jobs = static_cast<int>(files.size());
    std::vector<Worker> workers(static_cast<size_t>(jobs));
    fflush(stderr);
    for (Worker &w : workers) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) break;
        pid_t pid = fork();
        if (pid == 0) {
            close(sv[0]);
            for (Worker &o : workers)
                if (o.fd >= 0) close(o.fd);
            work(run, sv[1], files, make);
        }
        close(sv[1]);
        if (pid < 0) {
            close(sv[0]);
            break;
        }
        w.pid = pid;
        w.fd = sv[0];
    }
    size_t next = 0;   // the next file to hand out
    size_t shown = 0;  // the next file whose lines are printed
    int in_flight = 0;
    bool alone_in_flight = false;
    bool lost = false;  // a worker ended inside a file
    std::map<size_t, std::string> lines;
    auto assign = [&](Worker &w) {
        if (next < files.size()) {
            if (alone_in_flight || (alone(files[next]) && in_flight > 0)) return;
            alone_in_flight = alone(files[next]);
            ++in_flight;
        }
        int32_t index = next < files.size() ? static_cast<int32_t>(next++) : kNoMore;
        w.waiting = false;
        w.file = index;
        if (!write_all(w.fd, &index, sizeof index)) w.file = kNoMore;
    };
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Worker *> who;
        for (Worker &w : workers) {
            if (w.fd < 0) continue;
            fds.push_back(pollfd{w.fd, POLLIN, 0});
            who.push_back(&w);
        }
        if (fds.empty()) break;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Worker &w = *who[i];
            char kind = 0;
            Report r{};
            std::string text;
            bool ok = read_all(w.fd, &kind, 1);
            if (ok && kind != kWant) {
                ok = kind == kDone && read_all(w.fd, &r, sizeof r);
                if (ok) text.resize(r.len);
                ok = ok && read_all(w.fd, text.data(), text.size());
                ok = ok && r.index == w.file;
            }
            if (!ok) {
                if (w.file != kNoMore) lost = true;
                close(w.fd);
                w.fd = -1;
                continue;
            }
            if (kind == kWant) {
                w.waiting = true;
            } else {
                run.status |= r.status;
                run.started += r.started;
                run.total += r.total;
                run.phase_seconds += r.phase_seconds;
                lines[static_cast<size_t>(r.index)] = std::move(text);
                w.file = kNoMore;
                --in_flight;
                if (alone(files[static_cast<size_t>(r.index)])) alone_in_flight = false;
            }
        }
        for (auto it = lines.find(shown); it != lines.end(); it = lines.find(++shown)) {
            fputs(it->second.c_str(), stderr);
            lines.erase(it);
        }
        if (lost) break;
        for (Worker &w : workers)
            if (w.fd >= 0 && w.waiting) assign(w);
    }
    for (Worker &w : workers) {
        if (w.fd >= 0) close(w.fd);
        if (lost && w.pid > 0) kill(w.pid, SIGTERM);
    }
    for (Worker &w : workers)
        if (w.pid > 0) waitpid(w.pid, nullptr, 0);
    // Workers that could not connect leave files undone.
    if (shown < files.size()) lost = true;
    if (lost) {
        // Lines of files after the lost one are still printed in order.
        for (auto &kv : lines) fputs(kv.second.c_str(), stderr);
        exit(1);
    }
}

}  // namespace vesk::transfer
