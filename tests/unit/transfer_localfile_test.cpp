// The local copy's open: a partial copy never carries a write or execute bit.
#include <gtest/gtest.h>

#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "localfile.h"
#include "tempdir.h"

namespace {

using vesk::transfer::open_local_copy;
using vesk::transfer::recover_local_copy;

class LocalCopy : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        copy = path("copy");
    }
    std::string copy;
    mode_t mode() {
        struct stat st {};
        return stat(copy.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
    }
    std::string content() {
        std::string out;
        char buf[256];
        int fd = open(copy.c_str(), O_RDONLY);
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
        if (fd >= 0) close(fd);
        return out;
    }
    int entries() {
        int n = 0;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.' || strlen(e->d_name) > 2;
        closedir(d);
        return n;
    }
};

TEST_F(LocalCopy, MissingFileIsCreatedReadOnly) {
    int fd = open_local_copy(copy.c_str(), false);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(mode(), 0444u);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(content(), "abc");
}

// A finished copy being replaced (-f) is marked partial before it is emptied.
TEST_F(LocalCopy, FinishedCopyIsMarkedPartialThenEmptied) {
    make("copy", "old", 0644);
    int fd = open_local_copy(copy.c_str(), false);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mode(), 0444u);
    EXPECT_EQ(content(), "");
}

// An unprivileged owner cannot open a 0444 file for writing: the copy is made
// writable only under a hidden name and comes back at 0444.
TEST_F(LocalCopy, ReadOnlyCopyResumesWithoutEverBeingWritableUnderItsName) {
    make("copy", "part", 0444);
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir_.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(copy.c_str(), kNobody, kNobody), 0);
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
        int fd = open_local_copy(copy.c_str(), true);
        _exit(fd >= 0 && write(fd, "ial", 3) == 3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(content(), "partial");
    EXPECT_EQ(mode(), 0444u);
    EXPECT_EQ(entries(), 1);  // no hidden name left behind
}

// A kill while the copy sat under its hidden name (writable) leaves it there:
// the next run puts it back read-only, never over a file of that name.
TEST_F(LocalCopy, CopyLeftUnderItsHiddenNameIsPutBackPartial) {
    make(".vesk-open.copy", "part", 0200);
    ASSERT_TRUE(recover_local_copy(copy.c_str()));
    EXPECT_EQ(content(), "part");
    EXPECT_EQ(mode(), 0400u);
    make(".vesk-open.copy", "older", 0200);
    EXPECT_FALSE(recover_local_copy(copy.c_str()));
    EXPECT_EQ(content(), "part");
}

}  // namespace
