#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files.h"
#include "tempdir.h"
#include "vesknet.h"

using vesk::files::Reply;

namespace {

constexpr uid_t kNobody = 65534;  // an unprivileged id for the owner's-view checks
constexpr rlim_t kSizeLimit = 4;  // bytes a test file may grow to

struct Status {
    long long size, type, nlink, atime, mtime;
    unsigned mode, crc;
};

Status parse_status(const std::string &text) {
    Status s{};
    std::istringstream in(text);
    in >> s.size >> s.type >> s.nlink >> s.atime >> s.mtime >> std::oct >> s.mode >> std::dec >>
        s.crc;
    EXPECT_FALSE(in.fail()) << text;
    std::string rest;
    in >> rest;
    EXPECT_TRUE(rest.empty()) << text;
    return s;
}

class FilesTest : public TempDirTest {
  protected:
    static std::string slurp(const std::string &p) {
        std::string out;
        FILE *f = fopen(p.c_str(), "rb");
        if (f == nullptr) return "<missing>";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
        return out;
    }

    static mode_t mode_of(const std::string &p) {
        struct stat st;
        EXPECT_EQ(stat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    }
};

TEST_F(FilesTest, StatusOfRegularFile) {
    std::string p = make("plain", "123456789", 0640);
    struct timeval tv[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes(p.c_str(), tv), 0);

    Reply r = vesk::files::status(p);
    ASSERT_TRUE(r.ok) << r.text;
    Status s = parse_status(r.text);
    EXPECT_EQ(s.size, 9);
    EXPECT_EQ(s.type, 0);
    EXPECT_EQ(s.nlink, 1);
    // Relative to the clock: an old file gives a negative time (a second of slack).
    EXPECT_GE(s.atime, -101);
    EXPECT_LE(s.atime, -99);
    EXPECT_GE(s.mtime, -3601);
    EXPECT_LE(s.mtime, -3599);
    EXPECT_EQ(s.mode, 0640u);
    EXPECT_EQ(s.crc, 0x29B1u);  // the check value of the library's CRC-16
    // Mode is octal without a leading zero.
    EXPECT_NE(r.text.find(" 640 "), std::string::npos) << r.text;
}

TEST_F(FilesTest, StatusLongFormCoversLeadingBytes) {
    std::string p = make("long", "123456789abcdef");
    Status whole = parse_status(vesk::files::status("\n0\n" + p).text);
    EXPECT_EQ(whole.crc, file_crc(p.c_str(), 0));
    Status prefix = parse_status(vesk::files::status("\n9\n" + p).text);
    EXPECT_EQ(prefix.crc, 0x29B1u);
    EXPECT_EQ(prefix.size, 15);
    // Longer than the file: no checksum, but the status itself stands.
    Reply past = vesk::files::status("\n100\n" + p);
    ASSERT_TRUE(past.ok);
    EXPECT_EQ(parse_status(past.text).crc, 0u);
}

TEST_F(FilesTest, StatusNamesWithBlanksAndRelativeNames) {
    std::string p = make("a name with  blanks", "x");
    Reply r = vesk::files::status("\n0\n" + p);
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_EQ(parse_status(r.text).size, 1);

    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    Reply rel = vesk::files::status("a name with  blanks");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_TRUE(rel.ok) << rel.text;
}

TEST_F(FilesTest, StatusOfDirectoryAndOtherKinds) {
    Reply d = vesk::files::status(dir_);
    ASSERT_TRUE(d.ok);
    Status s = parse_status(d.text);
    EXPECT_EQ(s.type, 1);
    EXPECT_EQ(s.crc, 0u);

    // A FIFO must not be opened for its checksum: that would block the daemon.
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Reply f = vesk::files::status(fifo);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(parse_status(f.text).type, 2);
    EXPECT_EQ(parse_status(f.text).crc, 0u);
}

TEST_F(FilesTest, StatusFailures) {
    Reply missing = vesk::files::status(path("nothing"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.text, "No such file or directory");

    std::string p = make("f", "abc");
    for (const std::string &bad : {"\n" + p, "\n-1\n" + p, "\n1x\n" + p, "\n \n" + p, "\n\n" + p,
                                   "\n99999999999999999999999\n" + p, p + "\nmore"}) {
        Reply r = vesk::files::status(bad);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.text, "Bad argument") << bad;
    }
    // A NUL would cut the name short and stat some other file.
    std::string with_nul = p + std::string(1, '\0') + "tail";
    EXPECT_FALSE(vesk::files::status(with_nul).ok);
}

TEST_F(FilesTest, SinkFreshWriteFlushClose) {
    std::string p = path("fresh");
    vesk::files::Sink sink;
    Reply r = sink.open_fresh("0 400\n" + p);
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_TRUE(sink.is_open());
    EXPECT_EQ(mode_of(p), 0400u);  // the partial-copy mark, whatever the umask
    EXPECT_TRUE(sink.write("hello ", 6));
    EXPECT_TRUE(sink.write("world", 5));
    EXPECT_TRUE(sink.write("", 0));
    sink.flush();
    Status s = parse_status(vesk::files::status(p).text);
    EXPECT_EQ(s.size, 11);
    EXPECT_EQ(s.crc, file_crc(p.c_str(), 0));
    sink.close();
    EXPECT_FALSE(sink.is_open());
    EXPECT_FALSE(sink.write("x", 1));
    EXPECT_EQ(slurp(p), "hello world");
}

TEST_F(FilesTest, SinkFreshTruncatesAndShortFormGives0400) {
    std::string p = make("old", "old contents here", 0644);
    vesk::files::Sink sink;
    ASSERT_TRUE(sink.open_fresh(p).ok);
    EXPECT_EQ(mode_of(p), 0400u);
    sink.write("new", 3);
    sink.close();
    EXPECT_EQ(slurp(p), "new");

    ASSERT_TRUE(sink.open_fresh("0 640\n" + p).ok);
    EXPECT_EQ(mode_of(p), 0640u);
}

TEST_F(FilesTest, SinkRejectsBadArguments) {
    vesk::files::Sink sink;
    std::string p = path("x");
    for (const std::string &bad : {"0 999\n" + p, "0\n" + p, "0 400 1\n" + p, "5 400\n" + p,
                                   "-0 400x\n" + p, " 0 400\n" + p})
        EXPECT_EQ(sink.open_fresh(bad).text, "Bad argument") << bad;
    for (const std::string &bad : {"-1 400\n" + p, "1 8\n" + p, "x 400\n" + p})
        EXPECT_EQ(sink.open_at(bad).text, "Bad argument") << bad;
    EXPECT_FALSE(sink.is_open());
    EXPECT_EQ(access(p.c_str(), F_OK), -1);  // nothing was created

    Reply dir = sink.open_fresh("0 400\n" + dir_);
    EXPECT_FALSE(dir.ok);
    EXPECT_EQ(dir.text, "Is a directory");
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(sink.open_fresh("0 400\n" + fifo).ok);  // and does not block
}

TEST_F(FilesTest, SinkResumesAtOffsetAndSeeks) {
    std::string p = make("partial", "0123456789", 0400);
    vesk::files::Sink sink;
    Reply r = sink.open_at("10 400\n" + p);
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_TRUE(sink.write("abc", 3));
    sink.flush();
    EXPECT_EQ(slurp(p), "0123456789abc");
    EXPECT_EQ(mode_of(p), 0400u);

    // Short form starts at 0; 'E' then moves.
    ASSERT_TRUE(sink.open_at(p).ok);
    ASSERT_TRUE(sink.seek("4").ok);
    sink.write("XY", 2);
    sink.close();
    EXPECT_EQ(slurp(p), "0123XY6789abc");
}

TEST_F(FilesTest, SinkRefusesHolesAndMissingFiles) {
    std::string p = make("short", "abc", 0400);
    vesk::files::Sink sink;
    Reply beyond = sink.open_at("4 400\n" + p);
    EXPECT_FALSE(beyond.ok);
    EXPECT_EQ(beyond.text, "Offset beyond end of file");
    EXPECT_FALSE(sink.is_open());

    ASSERT_TRUE(sink.open_at("3 400\n" + p).ok);
    EXPECT_FALSE(sink.seek("4").ok);
    EXPECT_EQ(sink.seek("abc").text, "Bad argument");
    EXPECT_TRUE(sink.seek("0").ok);
    sink.close();
    EXPECT_EQ(sink.seek("0").text, "Bad file descriptor");

    Reply missing = sink.open_at("0 400\n" + path("gone"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.text, "No such file or directory");
    EXPECT_EQ(access(path("gone").c_str(), F_OK), -1);
}

// An interrupted copy is left at 0400; its owner must be able to resume or
// replace it even without root's override.  Run as an unprivileged user.
TEST_F(FilesTest, OwnerReopens0400CopyWithoutPrivilege) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0) {
            if (chown(dir_.c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 ||
                setuid(kNobody) != 0)
                _exit(2);
        }
        std::string p = make("ro", "12345", 0400);
        vesk::files::Sink sink;
        if (!sink.open_at("5 400\n" + p).ok) _exit(3);
        if (!sink.write("67", 2)) _exit(4);
        sink.close();
        if (slurp(p) != "1234567" || mode_of(p) != 0400) _exit(5);
        if (!sink.open_fresh("0 400\n" + p).ok) _exit(6);
        sink.write("z", 1);
        sink.close();
        if (slurp(p) != "z" || mode_of(p) != 0400) _exit(7);
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// A full disk, played by a file size limit (with SIGXFSZ ignored, write
// fails with EFBIG).  In a child so that the limit stays there.
TEST_F(FilesTest, SinkWriteFailureIsRemembered) {
    std::string p = path("w");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {kSizeLimit, kSizeLimit};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(2);
        vesk::files::Sink sink;
        if (!sink.open_fresh("0 600\n" + p).ok) _exit(3);
        if (!sink.write("ok", 2)) _exit(4);
        if (sink.write("more", 4)) _exit(5);  // two bytes fit, then the limit
        if (sink.write("m", 1)) _exit(6);     // dropped after the failure
        sink.close();
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(slurp(p), "okmo");  // short, never padded or reordered
}

TEST_F(FilesTest, SetFinalModeAndTimes) {
    std::string p = make("fin", "data", 0400);
    Reply r = vesk::files::set_final("644 -7200 -3600\n" + p);
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_EQ(mode_of(p), 0644u);
    Status s = parse_status(vesk::files::status(p).text);
    EXPECT_GE(s.atime, -7201);
    EXPECT_LE(s.atime, -7199);
    EXPECT_GE(s.mtime, -3601);
    EXPECT_LE(s.mtime, -3599);

    // 0 leaves that time alone.
    struct stat before, after;
    ASSERT_EQ(stat(p.c_str(), &before), 0);
    ASSERT_TRUE(vesk::files::set_final("755 0 -60\n" + p).ok);
    ASSERT_EQ(stat(p.c_str(), &after), 0);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_NE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(mode_of(p), 0755u);
}

TEST_F(FilesTest, SetFinalFailures) {
    std::string p = make("fin", "data", 0400);
    for (const std::string &bad :
         {"644 0\n" + p, "9 0 0\n" + p, std::string("644 0 0"), "644 x 0\n" + p,
          "644 0 99999999999999999999\n" + p, "644 9223372036854775807 0\n" + p})
        EXPECT_EQ(vesk::files::set_final(bad).text, "Bad argument") << bad;
    EXPECT_EQ(mode_of(p), 0400u);
    EXPECT_EQ(vesk::files::set_final("644 0 0\n" + path("none")).text, "No such file or directory");
}

TEST_F(FilesTest, SourceReadsFromOffset) {
    std::string p = make("src", "0123456789", 0444);
    vesk::files::Source src;
    Reply r = src.open("4\n" + p);
    ASSERT_TRUE(r.ok) << r.text;
    Status s = parse_status(r.text);
    EXPECT_EQ(s.size, 10);
    EXPECT_EQ(s.type, 0);
    EXPECT_EQ(s.mode, 0444u);
    char buf[64];
    ssize_t n = src.read(buf, sizeof buf);
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(buf, n), "456789");
    EXPECT_EQ(src.read(buf, sizeof buf), 0);

    ASSERT_TRUE(src.open("10\n" + p).ok);  // at the end: nothing to send
    EXPECT_EQ(src.read(buf, sizeof buf), 0);
    src.close();
    EXPECT_EQ(src.read(buf, sizeof buf), -1);
}

TEST_F(FilesTest, SourceFailures) {
    std::string p = make("src", "0123456789");
    vesk::files::Source src;
    EXPECT_EQ(src.open("11\n" + p).text, "Offset beyond end of file");
    EXPECT_FALSE(src.is_open());
    EXPECT_EQ(src.open(p).text, "Bad argument");
    EXPECT_EQ(src.open("-1\n" + p).text, "Bad argument");
    EXPECT_EQ(src.open("0\n" + path("none")).text, "No such file or directory");
    EXPECT_EQ(src.open("0\n" + dir_).text, "Is a directory");
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(src.open("0\n" + fifo).ok);  // refused, not blocked on
}

TEST_F(FilesTest, Remove) {
    std::string p = make("rm", "x");
    EXPECT_TRUE(vesk::files::remove(p).ok);
    EXPECT_EQ(access(p.c_str(), F_OK), -1);
    EXPECT_EQ(vesk::files::remove(p).text, "No such file or directory");
    EXPECT_FALSE(vesk::files::remove(dir_).ok);
    EXPECT_EQ(vesk::files::remove(p + "\nx").text, "Bad argument");
}

}  // namespace

namespace {

// Arguments come from the far end: random ones must give a reply, never a
// crash.  Run inside the temporary directory, with no '/' in the alphabet, so
// that whatever they name stays there.
TEST_F(FilesTest, RandomArgumentsAreHandled) {
    constexpr int kRounds = 3000;
    constexpr char kAlphabet[] = "0123456789-+ \n\tx7";
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    make("7", "some data");
    uint32_t x = 2463534242u;  // xorshift32: the same rounds on every run
    for (int i = 0; i < kRounds; ++i) {
        std::string arg;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        size_t len = x % 24;
        for (size_t k = 0; k < len; ++k) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            arg += kAlphabet[x % (sizeof kAlphabet - 1)];
        }
        vesk::files::status(arg);
        vesk::files::set_final(arg);
        vesk::files::Sink sink;
        if (sink.open_at(arg).ok) sink.write("y", 1);
        sink.seek(arg);
        vesk::files::Source src;
        if (src.open(arg).ok) {
            char buf[16];
            EXPECT_GE(src.read(buf, sizeof buf), 0);
        }
    }
    ASSERT_EQ(chdir(old), 0);
}

}  // namespace
