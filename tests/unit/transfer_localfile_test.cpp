// The local copy's open: a partial copy never carries a write or execute bit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "localfile.h"

namespace {

using vesk::transfer::open_local_copy;

class LocalCopy : public ::testing::Test {
  protected:
    std::string dir;
    std::string path;
    void SetUp() override {
        char tmpl[] = "/tmp/vesk-localcopy.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/copy";
    }
    void TearDown() override { (void)system(("rm -rf '" + dir + "'").c_str()); }
    void make(const char *content, mode_t mode) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, content, strlen(content)), static_cast<ssize_t>(strlen(content)));
        close(fd);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    mode_t mode() {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
    }
    std::string content() {
        std::string out;
        char buf[256];
        int fd = open(path.c_str(), O_RDONLY);
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
        if (fd >= 0) close(fd);
        return out;
    }
    int entries() {
        int n = 0;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.' || strlen(e->d_name) > 2;
        closedir(d);
        return n;
    }
};

TEST_F(LocalCopy, MissingFileIsCreatedReadOnly) {
    int fd = open_local_copy(path.c_str(), false);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(mode(), 0444u);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(content(), "abc");
}

// A finished copy being replaced (-f) is marked partial before it is emptied.
TEST_F(LocalCopy, FinishedCopyIsMarkedPartialThenEmptied) {
    make("old", 0644);
    int fd = open_local_copy(path.c_str(), false);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mode(), 0444u);
    EXPECT_EQ(content(), "");
}

// An unprivileged owner cannot open a 0444 file for writing: the copy is made
// writable only under a hidden name and comes back at 0444.
TEST_F(LocalCopy, ReadOnlyCopyResumesWithoutEverBeingWritableUnderItsName) {
    make("part", 0444);
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
        int fd = open_local_copy(path.c_str(), true);
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

}  // namespace
