// A serial device as the link's end: held for one veskd alone (TIOCEXCL and
// a UUCP lock file), raw 8N1 at a standard speed with the flow control asked
// for, its own settings put back when it is let go, and a hang-up told apart
// from a quiet line.  Independent of the frame protocol and of the loop.
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>

#include "linkarg.h"

namespace vesk::transport {

// Where UUCP lock files live on a current Linux system.
inline constexpr const char *kLockDir = "/run/lock";

// The termios code of a standard speed in bits per second: true with *code
// set, false for a speed termios does not name.
bool serial_speed(unsigned baud, speed_t *code);
// The standard speeds, ascending and comma-separated, for messages.
std::string serial_speeds();

// The lock file's name for a device: "LCK.." and its path below /dev, with
// '/' written as '_' (/dev/ttyUSB0: LCK..ttyUSB0, /dev/pts/3: LCK..pts_3).
// Symbolic links are followed first, so that two names of one device share
// one lock; a device that does not exist is named as given.
std::string lock_name(const std::string &device);

enum class LockResult {
    kTaken,       // the file holds our pid now (or held it already)
    kHeld,        // a live process holds it: its pid in *holder
    kUnwritable,  // this user cannot make files in dir: go on without a lock
    kFailed,      // anything else: the reason in *error
};
// Takes dir/name for pid, writing the pid as ten ASCII digits and a newline
// through a temporary file that is linked in place, so that a reader never
// sees half a lock.  A lock of a process that no longer exists, or one that
// names no process at all, is stale and taken over.
LockResult take_lock(const std::string &dir, const std::string &name, pid_t pid, pid_t *holder,
                     std::string *error);
// Removes dir/name if it still names pid; another holder's lock stays.
// Returns true when the file was ours and is gone.
bool drop_lock(const std::string &dir, const std::string &name, pid_t pid);

// One open serial device.  Not copyable: it owns the descriptor, the saved
// settings and the lock.
class SerialPort {
  public:
    explicit SerialPort(SerialLine line, std::string lock_dir = kLockDir);
    ~SerialPort() { close(); }
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Locks and opens the device (non-blocking, close-on-exec, never our
    // controlling terminal), saves its settings and makes it raw 8N1 at the
    // line's speed, with input that came before thrown away.  Returns false
    // with a reason in *error; *absent is then true when the device does not
    // exist (unplugged), so that a reconnecting end may wait for it.
    bool open(std::string *error, bool *absent);
    // The descriptor while open, else -1.
    int fd() const { return fd_; }
    // Whether the line has hung up: the device reports a hang-up or an
    // error, has gone from /dev, or (when the carrier is watched) has lost
    // its carrier.
    bool hung_up() const;
    // Puts the saved settings back, gives up the exclusive use and the lock
    // file, and closes.  Does nothing when not open.
    void close();

  private:
    SerialLine line_;
    std::string lock_dir_;
    std::string lock_;  // the lock file's name while we hold it
    int fd_ = -1;
    termios saved_{};
    bool restore_ = false;  // saved_ holds the device's own settings
};

}  // namespace vesk::transport
