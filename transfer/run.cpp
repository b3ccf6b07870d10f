// The transfer run shared by upload and download (run.h): defaults, options,
// start-up, naming, progress and rates, summaries and totals.
#include "run.h"

#include "program_help.h"

#include "jobs.h"
#include "tree.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <sys/socket.h>
#include <unistd.h>

namespace vesk::transfer {

namespace {

constexpr const char *kUploadUsage =
    "Usage: upload [-f] [-q] [-u] [-v] [-r] [-c] [-p <num>] <file> [... <file>] [remote dir]\n";
constexpr const char *kDownloadUsage =
    "Usage: download [-f] [-q] [-u] [-v] [-r] [-c] [-p <num>] <file> [... <file>] [local dir]\n";
// j (files in flight) and R (directory trees) are letters of neither the
// usage line nor the common options; the manual pages tell them.
// U (replace a tree's changed copies) likewise.
constexpr const char *kProgramLetters = "fquvlj:RU";

// Floors for the summary lines' divisions: a phase measured as 0 s would
// otherwise divide by zero, and a very short one would report absurd rates.
constexpr double kUploadZeroSeconds = 0.01;
constexpr double kUploadMinSeconds = 0.5;
constexpr double kDownloadZeroSeconds = 0.1;

constexpr double kMicro = 1000000.0;

// client_options' callback has no context argument; the run being parsed.
Run *parsing = nullptr;

}  // namespace

void Messages::put(const char *text) {
    if (direct_)
        fputs(text, stderr);
    else
        held_ += text;
}

void Messages::print(const char *format, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    put(line);
}

void Messages::show() {
    fputs(held_.c_str(), stderr);
    held_.clear();
    direct_ = true;
}

struct timeval clock_now() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return tv;
}

struct timeval begin_data_phase(Run &run) {
    run.buf.start = run.buf.end = run.buf.count = 0;
    ++run.started;
    return clock_now();
}

double clock_diff(const struct timeval &a, const struct timeval &b) {
    return (static_cast<double>(a.tv_sec) + static_cast<double>(a.tv_usec) / kMicro) -
           (static_cast<double>(b.tv_sec) + static_cast<double>(b.tv_usec) / kMicro);
}

void run_defaults(Run &run, Program program) {
    run = Run{};
    run.program = program;
    run.start = clock_now();
    priority = kDefaultPriority;
    verbose = 1;
    if (program == Program::kUpload) {
        lcompression = 0;
        rcompression = 0;
    }
}

int run_option_callback(int option, char *argument) {
    switch (option) {
        case 'j': {
            char *end = nullptr;
            long n = argument ? strtol(argument, &end, 10) : 0;
            if (!argument || *end != '\0' || n < 1 || n > kJobsMax) return -1;
            if (parsing) {
                parsing->jobs = static_cast<int>(n);
                parsing->jobs_set = true;
            }
            return 0;
        }
        case 'R': {
            if (parsing) parsing->trees = true;
            return 0;
        }
        case 'U':
            if (parsing) parsing->update = true;
            return 0;
        case 'f':
            if (parsing) parsing->force = true;
            return 0;
        case 'q':
            verbose = 0;
            return 0;
        case 'u':
            if (parsing) parsing->remove = true;
            return 0;
        case 'l':
            if (parsing) parsing->keep_path = true;
            return 0;
        default:
            return -1;
    }
}

int run_options(Run &run, int argc, char **argv) {
    bool up = run.program == Program::kUpload;
    help::answer(argc, argv, up ? "upload" : "download", up ? kUploadUsage : kDownloadUsage,
                 help::kCommonOptions);
    parsing = &run;
    int first = client_options(argc, argv, kProgramLetters, run_option_callback);
    parsing = nullptr;
    if (first < 0 || first >= argc) {
        fputs(run.program == Program::kUpload ? kUploadUsage : kDownloadUsage, stderr);
        exit(1);
    }
    return first;
}

namespace {
// Connects run.conn through fd (-1: a fresh socket); exits with status 1 and
// "Vesk: %s\n", after what msgs held, when no link server can be reached.
void connect_or_exit(Run &run, int fd, Messages *msgs = nullptr) {
    run.conn = socket_connect_server(fd, vesk_server);
    if (run.conn < 0) {
        if (msgs) msgs->show();
        fprintf(stderr, "Vesk: %s\n", command_result);
        exit(1);
    }
    run.req.reset(run.conn);
}
}  // namespace

void run_connect(Run &run) {
    use_vesk_command(1);
    add_to_buffer(&run.buf, 0);
    get_from_buffer(&run.buf);
    int fd = -1;
    if (run.program == Program::kUpload) fd = socket(AF_INET, SOCK_STREAM, 0);
    connect_or_exit(run, fd);
}

void run_reconnect(Run &run) {
    close(run.conn);
    run.base.clear();
    connect_or_exit(run, -1);
}

void run_reconnect(Run &run, Messages &msgs) {
    close(run.conn);
    run.base.clear();
    connect_or_exit(run, -1, &msgs);
}

void use_base(Run &run, const std::string &base) {
    if (run.base == base) return;
    run.req.post('U', 0, "%s", base.c_str());
    run.base = base;
}

std::string replacement_name(const std::string &name) {
    size_t slash = name.rfind('/');
    size_t at = slash == std::string::npos ? 0 : slash + 1;
    return name.substr(0, at) + proto::kReplacingPrefix + name.substr(at);
}

std::string printable(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool run_take_directory(Run &run, int *argc, char **argv, bool is_dir) {
    if (!is_dir) return false;
    const char *dir = argv[*argc - 1];
    --*argc;
    if (dir[0] == '\0') {
        fputs("\tFatal. Zero length path passed.\n", stderr);
        exit(1);
    }
    run.prefix = directory_prefix(dir);
    return true;
}

std::string cut_name(std::string_view source) {
    // The last '/' with at least one character after it; a trailing '/' is
    // kept as part of the name.
    if (source.size() < 2) return std::string(source);
    size_t pos = source.rfind('/', source.size() - 2);
    if (pos == std::string_view::npos) return std::string(source);
    return std::string(source.substr(pos + 1));
}

std::string directory_prefix(std::string_view dir) {
    std::string p(dir);
    if (p.empty() || p.back() != '/') p.push_back('/');
    return p;
}

FileArg next_file_arg(const Run &run, int argc, char **argv, int *index) {
    FileArg arg;
    arg.source = argv[*index];
    ++*index;
    bool renamed = false;
    if (argc - *index >= 2 &&
        (strcmp(argv[*index], "-as") == 0 || strcmp(argv[*index], "--as") == 0)) {
        arg.target = argv[*index + 1];
        *index += 2;
        renamed = true;
    } else {
        arg.target = run.keep_path ? arg.source : cut_name(arg.source);
    }
    if (!run.prefix.empty()) {
        // The joined name lives in a 256-byte buffer on the wire side; a name
        // that would not fit is refused rather than cut.
        if (run.prefix.size() + arg.target.size() > kNameMax) arg.too_long = true;
        arg.target = run.prefix + arg.target;
    }
    arg.long_form = renamed || arg.target != arg.source;
    return arg;
}

void print_file_line(const Run &run, const FileArg &arg, Messages &msgs) {
    if (verbose <= 0) return;
    const char *verb = run.program == Program::kUpload ? "sending" : "receiving";
    // A tree's names come from the far end's listing or a walk: escaped.
    const std::string source = arg.tree ? printable(arg.source) : arg.source;
    const std::string target = arg.tree ? printable(arg.target) : arg.target;
    if (arg.long_form)
        msgs.print("%s %s as %s\n", verb, source.c_str(), target.c_str());
    else
        msgs.print("%s %s\n", verb, source.c_str());
}

std::string progress_line(long offset, long size, bool size_known, double rate, double eta) {
    char line[256];
    if (size_known) {
        // 128-bit product: offset * 100 must not overflow for any file size.
        long pct = size != 0 ? static_cast<long>(static_cast<__int128>(offset) * 100 / size) : 0;
        if (rate > 0)
            snprintf(line, sizeof line,
                     "\r\t%ld of %ld (%ld%%), current CPS %.0f. ETA: %.1f TT: %.1f   ", offset,
                     size, pct, rate, eta, static_cast<double>(size) / rate);
        else
            snprintf(line, sizeof line, "\r\t%ld of %ld (%ld%%)   ", offset, size, pct);
    } else if (rate > 0) {
        snprintf(line, sizeof line, "\r\t%ld, current CPS %.0f. ", offset, rate);
    } else {
        snprintf(line, sizeof line, "\r\t%ld  ", offset);
    }
    return line;
}

namespace {

// Bytes per second over a window of samples; 0 for a window of no time.
template <int N>
double window_rate(const long (&bytes)[N], const double (&secs)[N]) {
    long b = 0;
    double s = 0;
    for (int i = 0; i < N; ++i) {
        b += bytes[i];
        s += secs[i];
    }
    return s > 0 ? static_cast<double>(b) / s : 0;
}

}  // namespace

double UploadRate::sample(const struct timeval &now, long phase_bytes, long since_line) {
    double dt = clock_diff(now, prev_);
    prev_ = now;
    if (clock_diff(now, start_) < 1.0) {
        first_second_ = phase_bytes;
        return 0;
    }
    bytes_[next_] = since_line;
    secs_[next_] = dt;
    next_ = (next_ + 1) % kSlots;
    return window_rate(bytes_, secs_);
}

double DownloadRate::sample(const struct timeval &now, long bytes) {
    bytes_[next_] = bytes;
    secs_[next_] = clock_diff(now, prev_);
    next_ = (next_ + 1) % kSlots;
    prev_ = now;
    return window_rate(bytes_, secs_);
}

int adapt_read_block(int block, double rate, long offset) {
    if (block < 1) block = 1;
    constexpr int kBlockLimit = 1 << 30;  // bytes; doubling stops before int overflow
    while (rate / 2 > block && block < kBlockLimit && offset % (2L * block) == 0) block *= 2;
    // A rate under half a byte per second would halve the block to 0, and
    // the alignment step divides by it: keep it at 1 or more.
    while (2 * rate < block && block > 1) block /= 2;
    return block;
}

std::string upload_summary(long bytes, double t) {
    if (t == 0) t = kUploadZeroSeconds;
    double cps = t < kUploadMinSeconds ? static_cast<double>(bytes) / kUploadMinSeconds
                                       : static_cast<double>(bytes) / t;
    char line[160];
    snprintf(line, sizeof line, "\r\t%ld bytes sent in %.1f seconds; CPS = %.0f                   ",
             bytes, t, cps);
    return line;
}

std::string download_summary(long bytes, double t, double *t_used) {
    if (t == 0) t = kDownloadZeroSeconds;
    *t_used = t;
    char line[160];
    snprintf(line, sizeof line, "\r\t%ld bytes received in %.1f seconds; CPS = %.0f               ",
             bytes, t, static_cast<double>(bytes) / t);
    return line;
}

void close_local(Run &run) {
    if (run.local_fd > (run.program == Program::kUpload ? 0 : 1)) {
        close(run.local_fd);
        run.local_fd = -1;
    }
}

// Not when their trees' far tops differ: the next file's 'U' would change
// where before's last names lead.
bool may_overlap(const FileArg &before, const FileArg &next) {
    std::string a = before.tree ? before.tree->base : "", b = next.tree ? next.tree->base : "";
    return a == b;
}

void FileLoop::add(const FileArg &arg, size_t index) {
    close_local(run_);
    if (before_ && !may_overlap(*before_arg_, arg)) finish();
    std::unique_ptr<FileJob> work = make_(run_, arg);
    if (before_ || hold_) work->msgs.hold();
    print_file_line(run_, arg, work->msgs);
    work->begin();
    finish();
    if (!hold_) work->msgs.show();
    const bool owed = work->middle();
    if (owed && work->overlaps()) {
        before_ = std::move(work);
        before_arg_ = &arg;
        before_index_ = index;
        return;
    }
    if (owed) work->end();
    ended_(*work, index);
}

void FileLoop::finish() {
    if (!before_) return;
    before_->end();
    ended_(*before_, before_index_);
    before_.reset();
}

namespace {

// Two files with one target would be written at once (-j) or one over the
// other: the later ones are refused.
std::vector<FileArg> refuse_repeated_targets(Run &run, std::vector<FileArg> files) {
    std::vector<FileArg> out;
    std::set<std::string> seen;
    for (FileArg &f : files) {
        if (f.target != "-" && !seen.insert(f.target).second) {
            fprintf(stderr, "\tSkipped : %s is also the target of an earlier file\n",
                    printable(f.target).c_str());
            run.status = 1;
            continue;
        }
        out.push_back(std::move(f));
    }
    return out;
}

}  // namespace

int run_main(Program program, int argc, char **argv,
             const std::function<bool(Run &, const char *)> &is_dir, const MakeJob &make,
             const PlanTrees &trees) {
    Run run;
    run_defaults(run, program);
    int i = run_options(run, argc, argv);
    run_connect(run);
    int last = argc;
    // A tree copied again must not turn into the place it is copied to,
    // whether it is the only argument or the name after -as.
    const bool renamed_last = last - i >= 3 && (strcmp(argv[last - 2], "-as") == 0 ||
                                                strcmp(argv[last - 2], "--as") == 0);
    if (!run.trees || (last - i > 1 && !renamed_last))
        run_take_directory(run, &last, argv, is_dir(run, argv[last - 1]));
    TreePlan plan;
    while (i < last) plan.files.push_back(next_file_arg(run, last, argv, &i));
    if (run.trees) {
        plan = trees(run, plan.files);
        if (!run.jobs_set) run.jobs = kTreeJobs;
    }
    plan.files = refuse_repeated_targets(run, std::move(plan.files));
    if (run.jobs > 1 && !plan.files.empty()) {
        run_jobs(run, plan.files, run.jobs, make);
    } else {
        FileLoop loop(
            run, make, [](FileJob &, size_t) {}, false);
        for (size_t k = 0; k < plan.files.size(); ++k) loop.add(plan.files[k], k);
        loop.finish();
    }
    if (plan.finish) plan.finish(run);
    return run_finish(run);
}

int run_finish(Run &run) {
    // A request posted last (a same-size file's mode) must have been carried
    // out before the program says it is done.
    run.req.drain();
    close_local(run);
    if (verbose >= 2 && run.started > 1) {
        double t = clock_diff(clock_now(), run.start);
        if (run.program == Program::kUpload) {
            if (t == 0) t = kUploadZeroSeconds;
            double cps = t < kUploadMinSeconds ? static_cast<double>(run.total) / kUploadMinSeconds
                                               : static_cast<double>(run.total) / t;
            fprintf(stderr, "%ld total bytes sent in %.1f seconds; overall CPS %.0f\n", run.total,
                    t, cps);
        } else {
            if (t == 0) t = kDownloadZeroSeconds;
            double cps =
                run.phase_seconds > 0 ? static_cast<double>(run.total) / run.phase_seconds : 0;
            fprintf(stderr, "%ld total bytes received in %.1f seconds; overall CPS %.0f\n",
                    run.total, t, cps);
        }
    }
    if (verbose >= 2 && run.up_to_date > 0)
        fprintf(stderr, "%d files already up to date\n", run.up_to_date);
    return run.status;
}

}  // namespace vesk::transfer
