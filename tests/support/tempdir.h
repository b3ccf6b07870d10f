// A GoogleTest fixture that gives each test a private temporary directory,
// removed afterwards, and makes files in it.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vesk_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { (void)std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes data to a new file `name` and gives it `mode`; returns its path.
    std::string make(const std::string &name, const std::string &data, mode_t mode = 0644) {
        std::string p = path(name);
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fd);
        chmod(p.c_str(), mode);
        return p;
    }

    std::string dir_;
};
