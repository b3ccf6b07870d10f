// Names confined beneath a directory: the kernel's openat2 and the walk that
// stands in for it must agree on every case.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "scope.h"

using vesk::Scope;

namespace {

class ScopeTest : public ::testing::TestWithParam<Scope::Resolver> {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vesk_scope_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top_ = tmpl;
        root_ = top_ + "/root";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
        write_file(root_ + "/in", "inside");
        write_file(top_ + "/out", "outside");
        chmod((top_ + "/out").c_str(), 0644);
        link("in", "same");
        link("../in", "sub/back");
        link("../out", "up");
        link(top_ + "/out", "abs");
        link("loop2", "loop1");
        link("loop1", "loop2");
        std::string why;
        ASSERT_TRUE(Scope::confine(root_, &scope_, &why, GetParam())) << why;
    }
    void TearDown() override { std::system(("rm -rf '" + top_ + "'").c_str()); }

    static void write_file(const std::string &p, const std::string &data) {
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
        close(fd);
    }
    void link(const std::string &target, const std::string &name) {
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + name).c_str()), 0);
    }
    // errno of a failed open, 0 when it opened.
    int open_errno(const std::string &name, int flags = O_RDONLY, mode_t mode = 0) {
        int fd = scope_.open(name, flags, mode);
        if (fd < 0) return errno;
        close(fd);
        return 0;
    }

    std::string top_, root_;
    Scope scope_;
};

TEST_P(ScopeTest, NamesInsideResolveThere) {
    for (const char *name : {"in", "./in", "same", "sub/back", "sub/../in", "sub/./../same"})
        EXPECT_EQ(open_errno(name), 0) << name;
    EXPECT_EQ(open_errno(".", O_RDONLY | O_DIRECTORY), 0);
    EXPECT_EQ(open_errno("missing"), ENOENT);
    EXPECT_EQ(open_errno(""), ENOENT);
}

TEST_P(ScopeTest, NamesLeadingOutAreRefused) {
    for (const char *name : {"..", "../out", "sub/../../out", "up", "abs", "sub/../up"})
        EXPECT_EQ(open_errno(name), EXDEV) << name;
    EXPECT_EQ(open_errno(top_ + "/out"), EXDEV);
    EXPECT_EQ(scope_.refusal("../out", EXDEV), "Outside the directory this veskd serves");
    EXPECT_NE(scope_.refusal("/etc/passwd", EXDEV).find("Absolute names"), std::string::npos);
    EXPECT_EQ(open_errno("loop1"), ELOOP);
}

TEST_P(ScopeTest, CreatesOnlyInside) {
    EXPECT_EQ(open_errno("sub/new", O_WRONLY | O_CREAT, 0600), 0);
    struct stat st;
    EXPECT_EQ(stat((root_ + "/sub/new").c_str(), &st), 0);
    EXPECT_EQ(open_errno("../made", O_WRONLY | O_CREAT, 0600), EXDEV);
    EXPECT_NE(stat((top_ + "/made").c_str(), &st), 0);
}

TEST_P(ScopeTest, FileRequestsStayInside) {
    using namespace vesk::files;
    EXPECT_TRUE(status("same", scope_).ok);
    Reply r = status("up", scope_);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Outside the directory this veskd serves");
    // Mode and times through a link that leads out change nothing.
    EXPECT_FALSE(set_final("777 -100 -100\nup", scope_).ok);
    struct stat st;
    ASSERT_EQ(stat((top_ + "/out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(set_final("600 0 0\nsame", scope_).ok);
    ASSERT_EQ(stat((root_ + "/in").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // Removing a link removes the link, never what it names.
    EXPECT_TRUE(remove("up", scope_).ok);
    EXPECT_EQ(stat((top_ + "/out").c_str(), &st), 0);
    EXPECT_FALSE(remove("../out", scope_).ok);
    EXPECT_EQ(stat((top_ + "/out").c_str(), &st), 0);
    Sink sink(scope_);
    EXPECT_FALSE(sink.open_fresh("0 400\n../made").ok);
    EXPECT_TRUE(sink.open_fresh("0 400\nsub/made").ok);
}

INSTANTIATE_TEST_SUITE_P(Resolvers, ScopeTest,
                         ::testing::Values(Scope::Resolver::kAuto, Scope::Resolver::kWalk));

}  // namespace
