// Key files: what a key file must be before veskd trusts it, and how
// --genkey makes one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keyfile.h"
#include "tempdir.h"

namespace {

class KeyFile : public TempDirTest {
  protected:
    std::string make(const std::string &name, size_t bytes, mode_t mode) {
        return TempDirTest::make(name, std::string(bytes, 'k'), mode);
    }
    // The reason load gives, or "" when it accepts the file.
    std::string refusal(const std::string &path) {
        std::string key, error;
        return vesk::keyfile::load(path, &key, &error) ? "" : error;
    }
};

bool has(const std::string &text, const char *part) {
    return text.find(part) != std::string::npos;
}

TEST_F(KeyFile, LengthBounds) {
    EXPECT_EQ(refusal(make("min", vesk::keyfile::kMinBytes, 0600)), "");
    EXPECT_EQ(refusal(make("max", vesk::keyfile::kMaxBytes, 0400)), "");
    EXPECT_TRUE(has(refusal(make("short", vesk::keyfile::kMinBytes - 1, 0600)), "too short"));
    EXPECT_TRUE(has(refusal(make("empty", 0, 0600)), "too short"));
    EXPECT_TRUE(has(refusal(make("big", vesk::keyfile::kMaxBytes + 1, 0600)), "larger"));
    std::string key, error;
    ASSERT_TRUE(vesk::keyfile::load(dir_ + "/min", &key, &error));
    EXPECT_EQ(key, std::string(vesk::keyfile::kMinBytes, 'k'));
}

TEST_F(KeyFile, OnlyTheOwnerMayReadIt) {
    for (mode_t m : {0640, 0604, 0602, 0622, 0610, 0601}) {
        EXPECT_TRUE(has(refusal(make("open", 32, m)), "open to group or others")) << m;
    }
    EXPECT_TRUE(has(refusal(make("wo", 32, 0200)), "not readable by its owner"));
    if (geteuid() == 0) {
        std::string theirs = make("theirs", 32, 0600);
        ASSERT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
        EXPECT_TRUE(has(refusal(theirs), "another user"));
    }
}

TEST_F(KeyFile, OnlyARegularFileNamedItself) {
    std::string good = make("good", 32, 0600);
    ASSERT_EQ(symlink(good.c_str(), (dir_ + "/link").c_str()), 0);
    EXPECT_TRUE(has(refusal(dir_ + "/link"), "symbolic link"));
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    EXPECT_TRUE(has(refusal(dir_ + "/fifo"), "not a regular file"));
    EXPECT_TRUE(has(refusal(dir_), "not a regular file"));
    EXPECT_TRUE(has(refusal(dir_ + "/none"), "No such file"));
}

TEST_F(KeyFile, GenerateMakesAPrivateKeyAndNeverOverwrites) {
    std::string path = dir_ + "/new/sub/key";
    std::string error;
    ASSERT_TRUE(vesk::keyfile::generate(path, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(size_t(st.st_size), vesk::keyfile::kGeneratedBytes);
    ASSERT_EQ(stat((dir_ + "/new/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(refusal(path), "");

    EXPECT_FALSE(vesk::keyfile::generate(path, &error));
    EXPECT_TRUE(has(error, "exists already")) << error;
    // A dangling link is not followed to create its target.
    ASSERT_EQ(symlink((dir_ + "/target").c_str(), (dir_ + "/dangling").c_str()), 0);
    EXPECT_FALSE(vesk::keyfile::generate(dir_ + "/dangling", &error));
    EXPECT_NE(access((dir_ + "/target").c_str(), F_OK), 0);
}

}  // namespace
