// Several files in flight, one worker process each (jobs.h).
#include "jobs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "descriptors.h"

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

// What the run's process tells a worker that asked for a file while it still
// finishes one, when no file can be handed out yet (the next one must run
// alone): finish yours, then ask again.
constexpr int32_t kLater = -2;

// One worker's view of the run's process.
class RunProcess {
  public:
    explicit RunProcess(int fd) : fd_(fd) {}
    // The next file's index; kNoMore at the end (or when the run's process has
    // gone), kLater when none is free while this worker still holds one.
    int32_t next() {
        int32_t index = kNoMore;
        if (!write_all(fd_, &kWant, 1) || !read_all(fd_, &index, sizeof index)) return kNoMore;
        return index;
    }
    // Reports a finished file with the counts gathered since the last report:
    // files overlap, so counts may belong to the next file, and the run's
    // process only ever adds them up.
    bool report(Run &run, int32_t index, FileJob &w) {
        std::string lines = w.msgs.take();
        Report r{index,     run.status,        run.started,
                 run.total, run.phase_seconds, static_cast<uint32_t>(lines.size())};
        run.status = 0;
        run.started = 0;
        run.total = 0;
        run.phase_seconds = 0;
        return write_all(fd_, &kDone, 1) && write_all(fd_, &r, sizeof r) &&
               write_all(fd_, lines.data(), lines.size());
    }

  private:
    int fd_;
};

// A worker: its own connection, then one file after another as handed out.
// As in a run of one file after another, the next file's probe goes out
// before the closing replies of the one before are read.
[[noreturn]] void work(Run &run, int fd, const std::vector<FileArg> &files, const MakeJob &make) {
    run_reconnect(run);
    run.status = 0;
    RunProcess from(fd);
    bool ok = true;
    FileLoop loop(
        run, make,
        [&](FileJob &w, size_t index) {
            ok = ok && from.report(run, static_cast<int32_t>(index), w);
        },
        true);
    while (ok) {
        int32_t index = from.next();
        if (index == kLater) {
            loop.finish();
            continue;
        }
        if (index < 0 || static_cast<size_t>(index) >= files.size()) break;
        // The "-" sources before this file, as a run of one after another
        // would have counted them.
        run.stdin_count = 0;
        for (int32_t k = 0; k < index; ++k) run.stdin_count += files[k].source == "-";
        loop.add(files[static_cast<size_t>(index)], static_cast<size_t>(index));
    }
    loop.finish();
    close_local(run);
    // A finish posted last (a same-size file's mode) is done before the
    // parent, which waits for this worker, reports the run over.
    run.req.drain();
    fflush(stderr);
    _exit(0);
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::deque<int32_t> files;  // those it works on, the oldest first: two at most
    bool waiting = false;       // asked for a file and got no answer yet
};

// Starts up to workers->size() workers, each with its own end of a socket
// pair.  One that cannot be started leaves it and those after it unstarted
// (fd -1); when none can, says why.
void start_workers(Run &run, const std::vector<FileArg> &files, const MakeJob &make,
                   std::vector<Worker> *workers) {
    for (Worker &w : *workers) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
            // Fewer workers do the same work; none at all is told below.
            if (&w == &workers->front())
                fprintf(stderr, "\tCan't start a worker: %s\n", strerror(errno));
            break;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(sv[0]);
            for (Worker &o : *workers)
                if (o.fd >= 0) close(o.fd);
            work(run, sv[1], files, make);
        }
        close(sv[1]);
        if (pid < 0) {
            if (&w == &workers->front())
                fprintf(stderr, "\tCan't start a worker: %s\n", strerror(errno));
            close(sv[0]);
            break;
        }
        w.pid = pid;
        w.fd = sv[0];
    }
}

// The run's process among its workers: hands the files out as they ask,
// adds up their reports and prints each file's lines in file order.
class Handout {
  public:
    Handout(Run &run, const std::vector<FileArg> &files, std::vector<Worker> &workers)
        : run_(run), files_(files), workers_(workers) {}
    // Serves the workers until none is left, or one ended inside a file.
    void serve();
    // Ends the workers (killed when one was lost) and waits for them.
    // Returns false, with the run's status 1, when files were left undone.
    bool end();

  private:
    // Reads one message of w: a request for a file, or a file's report.
    // A worker that ended or broke the exchange is closed.
    void hear(Worker &w);
    void answer(Worker &w, int32_t index);
    // Answers a worker that asked: the next file, kNoMore, or kLater.
    void assign(Worker &w);

    Run &run_;
    const std::vector<FileArg> &files_;
    std::vector<Worker> &workers_;
    size_t next_ = 0;   // the next file to hand out
    size_t shown_ = 0;  // the next file whose lines are printed
    int in_flight_ = 0;
    bool alone_in_flight_ = false;
    bool lost_ = false;  // a worker ended inside a file
    std::map<size_t, std::string> lines_;
};

void Handout::answer(Worker &w, int32_t index) {
    w.waiting = false;
    if (index >= 0) w.files.push_back(index);
    if (!write_all(w.fd, &index, sizeof index) && index >= 0) w.files.pop_back();
}

void Handout::assign(Worker &w) {
    if (next_ < files_.size()) {
        if (alone_in_flight_ || (alone(files_[next_]) && in_flight_ > 0)) {
            // A worker still finishing a file must not wait on itself.
            if (!w.files.empty()) answer(w, kLater);
            return;
        }
        alone_in_flight_ = alone(files_[next_]);
        ++in_flight_;
    }
    answer(w, next_ < files_.size() ? static_cast<int32_t>(next_++) : kNoMore);
}

void Handout::hear(Worker &w) {
    char kind = 0;
    Report r{};
    std::string text;
    bool ok = read_all(w.fd, &kind, 1);
    if (ok && kind != kWant) {
        ok = kind == kDone && read_all(w.fd, &r, sizeof r);
        if (ok) text.resize(r.len);
        ok = ok && read_all(w.fd, text.data(), text.size());
        ok = ok && !w.files.empty() && r.index == w.files.front();
    }
    if (!ok) {
        if (!w.files.empty()) lost_ = true;
        close(w.fd);
        w.fd = -1;
        return;
    }
    if (kind == kWant) {
        w.waiting = true;
        return;
    }
    run_.status |= r.status;
    run_.started += r.started;
    run_.total += r.total;
    run_.phase_seconds += r.phase_seconds;
    lines_[static_cast<size_t>(r.index)] = std::move(text);
    w.files.pop_front();
    --in_flight_;
    if (alone(files_[static_cast<size_t>(r.index)])) alone_in_flight_ = false;
}

void Handout::serve() {
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Worker *> who;
        for (Worker &w : workers_) {
            if (w.fd < 0) continue;
            fds.push_back(pollfd{w.fd, POLLIN, 0});
            who.push_back(&w);
        }
        if (fds.empty()) return;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0) hear(*who[i]);
        for (auto it = lines_.find(shown_); it != lines_.end(); it = lines_.find(++shown_)) {
            fputs(it->second.c_str(), stderr);
            lines_.erase(it);
        }
        if (lost_) return;
        for (Worker &w : workers_)
            if (w.fd >= 0 && w.waiting) assign(w);
    }
}

bool Handout::end() {
    for (Worker &w : workers_) {
        if (w.fd >= 0) close(w.fd);
        if (lost_ && w.pid > 0) kill(w.pid, SIGTERM);
    }
    for (Worker &w : workers_)
        if (w.pid > 0) waitpid(w.pid, nullptr, 0);
    // Workers that could not connect leave files undone.
    if (shown_ < files_.size()) lost_ = true;
    if (lost_) {
        // Lines of files after the lost one are still printed in order.
        for (auto &kv : lines_) fputs(kv.second.c_str(), stderr);
        run_.status = 1;
        return false;
    }
    return true;
}

}  // namespace

bool run_jobs(Run &run, const std::vector<FileArg> &files, int jobs, const MakeJob &make) {
    if (jobs > static_cast<int>(files.size())) jobs = static_cast<int>(files.size());
    std::vector<Worker> workers(static_cast<size_t>(jobs));
    fflush(stderr);
    start_workers(run, files, make, &workers);
    Handout handout(run, files, workers);
    handout.serve();
    return handout.end();
}

}  // namespace vesk::transfer
