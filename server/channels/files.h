// File commands of veskd: status, writing, reading, final mode and removal.
//
// Pure file work, no knowledge of channels or the link: the channel code
// calls these with the request's argument text and sends the reply.  Names
// resolve through a Scope: as given (relative to the daemon's working
// directory), or confined beneath a directory.  Every Reply carries the status
// (ok) and the text sent after it; on failure the text is a reason.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

#include "scope.h"

namespace vesk {
class CrcReader;
}

namespace vesk::files {

struct Reply {
    bool ok = false;
    std::string text;
};

// 'D': argument "name" or "\nN\nname".  Text: "size type nlink atime mtime mode
// crc" (type 0 regular, 1 directory, 2 other; times in seconds relative to now,
// negative for the past; permission bits in octal; crc of the first N bytes,
// N 0 or the short form: the whole file; crc 0 when none: not a regular file,
// unreadable, or shorter than N).  Fails with strerror's text (missing file),
// the scope's refusal or "Bad argument".
Reply status(std::string_view arg, const Scope &scope = {});

// status() worked through in slices: a check of a large file reads at most
// max_bytes per step, so that the thread running it can serve other checks
// in between.  Every system call happens in step(), none in the constructor,
// and between steps a check holds no descriptor and no read block: each
// slice reopens the file (the one first looked at, or the checksum is 0).
class Check {
  public:
    Check(std::string_view arg, Scope scope);
    ~Check();
    Check(const Check &) = delete;
    Check &operator=(const Check &) = delete;
    // Goes on with the check.  Returns true once reply() is final.
    bool step(size_t max_bytes);
    const Reply &reply() const { return reply_; }

  private:
    bool begin();
    bool read_slice(size_t max_bytes);

    std::string arg_;
    Scope scope_;
    Reply reply_;
    bool started_ = false;
    bool done_ = false;
    std::string path_;
    struct stat st_ {};
    std::unique_ptr<CrcReader> crc_;
};

// A file open for writing ('6', '1', 'E', 'l' data, 'M'), owned by one channel.
class Sink {
  public:
    explicit Sink(Scope scope = {}) : scope_(std::move(scope)) {}
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;
    ~Sink();

    // Every open closes a file still open first.  Only regular files are
    // opened; an owner's 0400 partial copy is reopened (made writable for the
    // open, then given the mode sent).  Failure texts: strerror's, "Bad
    // argument", "Not a regular file" or "Offset beyond end of file".
    //
    // '6': "0 mode\nname" or "name" (mode 0400): create or truncate, then
    // give it the mode.
    Reply open_fresh(std::string_view arg);
    // '1': "offset mode\nname" or "name" (offset 0, mode 0400; an 'E'
    // follows): open an existing file without truncating it, at offset.  A
    // missing file or an offset beyond its end fails: writing there would
    // leave a hole that passes for sent data.
    Reply open_at(std::string_view arg);
    // 'E': "offset", within the file as for open_at.
    Reply seek(std::string_view arg);
    // File data of a dump.  Returns false after a write failure (the failure
    // is remembered and later data is dropped; the file stays short).
    bool write(const char *data, size_t n);
    // 'M': everything written so far is in the file (visible to status(); not
    // synced to disk).
    void flush();
    void close();
    bool is_open() const { return fd_ >= 0; }
    // Names lead where scope says from now on; a file still open is closed.
    void rescope(Scope scope) {
        close();
        scope_ = std::move(scope);
    }

  private:
    Reply adopt(int fd, mode_t mode, std::string path);
    // Sends what was written to the disk as it comes (see kWritebackBytes).
    void write_back();
    void at(off_t offset) { pos_ = kicked_ = waited_ = offset; }

    Scope scope_;
    int fd_ = -1;
    bool failed_ = false;
    off_t pos_ = 0;     // where the next write goes
    off_t kicked_ = 0;  // written before this: sent to the disk
    off_t waited_ = 0;  // ... and before this: on it
    std::string name_;
};

// 'O': "mode atime mtime\nname" (mode octal, at most 07777; times in seconds
// relative to now, 0 leaves that time).  A regular file's data is synced to
// disk first, so that the mode never vouches for data a power cut can lose;
// a failed sync fails the request and changes nothing.  Fails with
// strerror's text, the scope's refusal or "Bad argument"; both the times and
// the mode are tried.
Reply set_final(std::string_view arg, const Scope &scope = {});

// '7': "offset\nname".  open() replies like status(), but with crc 0 (the
// file is not read twice), and positions the file; only regular files, and
// an offset beyond the end fails.
class Source {
  public:
    explicit Source(Scope scope = {}) : scope_(std::move(scope)) {}
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source();

    Reply open(std::string_view arg);
    // Next bytes of the file: > 0 count, 0 at end, -1 on a read error.
    ssize_t read(char *buf, size_t n);
    // Sends the file open on fd (taken over), from where it stands.
    void adopt(int fd) {
        close();
        fd_ = fd;
    }
    void close();
    bool is_open() const { return fd_ >= 0; }
    void rescope(Scope scope) {
        close();
        scope_ = std::move(scope);
    }

  private:
    Scope scope_;
    int fd_ = -1;
};

// fdatasync of the regular file that pfd (O_PATH) names, through a
// descriptor reopened from proc_path (an O_PATH one cannot sync).  Returns 0,
// or the errno of a failed sync.  A file this process may neither read nor
// write cannot be synced and is let through: nothing here wrote its data.
int sync_file_data(int pfd, const std::string &proc_path);

// 'Z': "name": unlink (a symbolic link itself, not what it names).  Fails with
// strerror's text, the scope's refusal or "Bad argument".
Reply remove(std::string_view arg, const Scope &scope = {});

}  // namespace vesk::files
