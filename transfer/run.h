// The transfer run shared by upload and download: defaults and options, the
// start-up sequence, the directory argument, the walk over the file arguments
// with its naming rules, the progress line, the per-file summary and the
// totals line.  Program code: functions here print to standard error and the
// start-up helpers exit on the fatal conditions the usage line names.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/time.h>

#include "file_status.h"
#include "listing.h"
#include "requests.h"
#include "vesknet.h"

namespace vesk::transfer {

enum class Program { kUpload, kDownload };

// Longest name that fits the 256-byte prefix and name buffers with their NUL.
constexpr size_t kNameMax = 255;  // bytes

using proto::kFinishedBits;

// Default link priority of both programs: transfers yield to interactive use.
constexpr int kDefaultPriority = -5;
// Initial size of download's read block from the link.
constexpr int kInitialReadBlock = 1024;  // bytes

struct Run {
    Program program = Program::kUpload;
    int status = 0;  // exit status; set to 1 on any per-file failure, never back to 0
    bool force = false;
    bool remove = false;
    bool keep_path = false;
    int jobs = 1;           // files in flight (-j)
    bool jobs_set = false;  // -j was given
    bool trees = false;     // -R: directory arguments are copied as trees
    bool update = false;    // -U: a tree's finished copies that differ are replaced
    int up_to_date = 0;     // tree files whose copy already matched
    std::string base;       // the far tree top that conn's names resolve beneath
    struct timeval start {};
    int started = 0;                     // files whose data phase began
    long total = 0;                      // bytes moved in all data phases
    double phase_seconds = 0;            // download: accumulated data-phase seconds
    int read_block = kInitialReadBlock;  // download: kept from one file to the next
    int stdin_count = 0;                 // upload: "-" arguments met so far
    std::string prefix;                  // directory argument with its trailing '/', or empty
    int conn = -1;                       // link-server connection
    Requests req;                        // the requests on conn
    int local_fd = -1;                   // upload: 0 is stdin; download: 1 is stdout
    vesk_buff buf{};                     // the run's one stream buffer
};

// A file of a tree: its far name resolves beneath the tree's far top,
// where no link is followed, and its times are copied exactly.
struct TreeFile {
    std::string base;  // the far top, made the connection's scope ('U')
    std::string wire;  // the far name beneath it
    // upload: the source as the walk saw it; download: the far file as listed
    proto::Stamp mtime, atime;
    unsigned perms = 0;
    long long size = 0;
    dev_t dev = 0;  // upload: the source the walk saw, which alone is read
    ino_t ino = 0;
    // -U: a finished copy that differs is there: the new one is written
    // beside it under a hidden name and renamed over it once checked.
    bool replace = false;
    // The listing found no copy: nothing to probe for, the copy starts afresh.
    bool absent = false;
};

// One file argument after the naming rules.
struct FileArg {
    std::string source;
    std::string target;
    bool long_form = false;  // the target is not the source argument itself
    bool too_long = false;   // prefix and target do not fit the name buffer
    std::optional<TreeFile> tree;
};

// Hidden name beside a tree file's copy that -U writes the new copy under.
std::string replacement_name(const std::string &name);

// name with control bytes written as \xNN: a name from the far end never
// writes escape sequences to the user's terminal.
std::string printable(std::string_view name);

// Makes base the far scope of the run's connection ("" none), unless it is
// already.  Posted: the requests after it on the connection see it.
void use_base(Run &run, const std::string &base);

// A file's messages, on the standard error stream: written at once while
// the file is the one being shown, held while an earlier file's lines are
// still to come, so that a run prints each file's lines in file order.
class Messages {
  public:
    void put(const char *text);
    void print(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Holds what comes from now on.
    void hold() { direct_ = false; }
    // Writes what was held, and from now on writes at once.
    void show();
    // Returns what was held and holds nothing more.
    std::string take() { return std::move(held_); }

  private:
    bool direct_ = true;
    std::string held_;
};

// One file's work in three steps, so that the first request of a file can
// go out before the last replies of the one before it are read.
class FileJob {
  public:
    virtual ~FileJob() = default;
    // Local checks and the first request, sent without waiting.
    virtual void begin() = 0;
    // The rest, up to the last requests.  Returns true when their replies
    // are still owed: end() reads them.
    virtual bool middle() = 0;
    // Reads the last replies and reports.
    virtual void end() {}
    // Whether the next file may begin before end() (its first request then
    // goes out behind this file's last ones).
    virtual bool overlaps() const { return true; }
    Messages msgs;
};

using MakeJob = std::function<std::unique_ptr<FileJob>(Run &, const FileArg &)>;

// Files one after another on the run's connection, each file's first
// request sent behind the last ones of the file before (unless they belong
// to different trees).  The run of one file after another and each -j
// worker run their files through this.
class FileLoop {
  public:
    // ended is told of each file once its work is over, with the index add
    // was given.  With hold, every file's lines are held for ended to take;
    // without, they are written as soon as the file before has ended.
    using Ended = std::function<void(FileJob &, size_t index)>;
    FileLoop(Run &run, const MakeJob &make, Ended ended, bool hold)
        : run_(run), make_(make), ended_(std::move(ended)), hold_(hold) {}
    // Runs the file up to its last requests; the file before ends meanwhile.
    void add(const FileArg &arg, size_t index);
    // Ends the file whose last replies are still owed, if any.
    void finish();

  private:
    Run &run_;
    const MakeJob &make_;
    Ended ended_;
    bool hold_;
    std::unique_ptr<FileJob> before_;  // its last replies are still owed
    const FileArg *before_arg_ = nullptr;
    size_t before_index_ = 0;
};

struct TreePlan;
// With -R: turns the file arguments into the files to copy, making what a
// tree needs besides them (tree.h).
using PlanTrees = std::function<TreePlan(Run &, const std::vector<FileArg> &)>;

// ---- Clock ----------------------------------------------------------------

// Current seconds-and-microseconds reading.
struct timeval clock_now();
// a - b in seconds, in floating point.
double clock_diff(const struct timeval &a, const struct timeval &b);

// Starts a file's data phase: drops what a failed file left in the run's
// buffer (it must not become this file's first bytes), counts the file as
// started and returns the clock reading the phase's rates start from.
struct timeval begin_data_phase(Run &run);

// ---- Start-up ---------------------------------------------------------------

// Sets the run state and the library globals to the program's defaults.
void run_defaults(Run &run, Program program);

// Parses the options.  Returns the index of the first file argument; prints
// the usage line and exits with status 1 on a bad option or no file argument.
int run_options(Run &run, int argc, char **argv);

// The option callback handed to client_options: 0 for f, q, u, l (recorded in
// the run last passed to run_options), -1 for anything else.
int run_option_callback(int option, char *argument);

// Share-mode hook, buffer preparation and the connection.  Exits with status
// 1 and "Vesk: %s\n" when no link server can be reached.
void run_connect(Run &run);

// A fresh link-server connection in place of one whose state is unknown (a
// dump still owed bytes, or the socket broke).  Exits like run_connect.
void run_reconnect(Run &run);
// The same with what the file printed so far written first, so that a
// failure's message follows it.
void run_reconnect(Run &run, Messages &msgs);

// Closes the last file's local descriptor, but never the standard stream the
// program may read (upload) or write (download) in its place.
void close_local(Run &run);

// Takes a directory argument off the end of the list when is_dir says so:
// *argc shrinks by one and the prefix is set.  Exits with status 1 on an empty
// directory argument.  Returns true when a directory argument was taken.
bool run_take_directory(Run &run, int *argc, char **argv, bool is_dir);

// The whole run of a program: defaults, options, the connection, a directory
// argument (is_dir says whether the last argument names one) and the work
// of each file in turn, each file's first request sent behind the last ones
// of the file before.  With -R, trees expands the arguments first; a lone
// argument is then never taken for the directory argument.  Returns the exit
// status; exits with status 1 where run_options and run_connect do.
int run_main(Program program, int argc, char **argv,
             const std::function<bool(Run &, const char *)> &is_dir, const MakeJob &make,
             const PlanTrees &trees);

// ---- Naming -------------------------------------------------------------------

// The part of source after its last '/' that is followed by at least one
// character ('dir/x' -> 'x', 'dir/x/' -> 'x/', 'x' -> 'x', '' -> '').
std::string cut_name(std::string_view source);

// A directory argument with a '/' at its end (exactly one added when missing).
std::string directory_prefix(std::string_view dir);

// Takes the next file argument at *index (below argc) with its -as/--as
// renaming, and advances *index past what it used.
FileArg next_file_arg(const Run &run, int argc, char **argv, int *index);

// Whether the file after before may begin before before's end (its first
// requests then go out behind before's last ones): not across trees.
bool may_overlap(const FileArg &before, const FileArg &next);

// Prints the sending/receiving line when verbose > 0.
void print_file_line(const Run &run, const FileArg &arg, Messages &msgs);

// ---- Progress -------------------------------------------------------------------

// One progress line, "\r\t..." without a newline.  size_known false selects
// the forms without the size; rate 0 the forms without the rate and ETA.
std::string progress_line(long offset, long size, bool size_known, double rate, double eta);

// Upload's rate over its last four report points, with the first-second rule.
class UploadRate {
  public:
    // A data phase that starts at start.
    explicit UploadRate(const struct timeval &start) : start_(start), prev_(start) {}
    // A report point at now with bytes written since the last progress line.
    // Returns the rate in bytes per second (0 during the first second).
    double sample(const struct timeval &now, long phase_bytes, long since_line);
    // Bytes sent within the first second (added back in the ETA).
    long first_second() const { return first_second_; }

  private:
    static constexpr int kSlots = 4;
    long bytes_[kSlots] = {};
    double secs_[kSlots] = {};
    int next_ = 0;
    long first_second_ = 0;
    struct timeval start_ {};
    struct timeval prev_ {};
};

// Download's rate over its last ten writes.
class DownloadRate {
  public:
    explicit DownloadRate(const struct timeval &start) : prev_(start) {}
    // One write of bytes at now; returns the rate in bytes per second.
    double sample(const struct timeval &now, long bytes);

  private:
    static constexpr int kSlots = 10;
    long bytes_[kSlots] = {};
    double secs_[kSlots] = {};
    int next_ = 0;
    struct timeval prev_ {};
};

// Download's read block after a write at offset with rate R: doubled while
// R/2 exceeds it and the offset stays aligned, halved while 2R is below it,
// never below 1.
int adapt_read_block(int block, double rate, long offset);

// ---- Summary and totals -----------------------------------------------------------

// "\r\t%ld bytes sent in ..." for a data phase of t seconds.
std::string upload_summary(long bytes, double t);
// "\r\t%ld bytes received in ..."; *t_used receives the seconds counted.
std::string download_summary(long bytes, double t, double *t_used);

// The totals line when verbose >= 2 and more than one file started; then
// returns the exit status.
int run_finish(Run &run);

}  // namespace vesk::transfer
