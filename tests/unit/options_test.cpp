#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vesknet.h"

namespace {

class OptionsTest : public ::testing::Test {
  protected:
    std::vector<std::string> store;
    std::vector<char *> argv;
    char **Args(std::initializer_list<const char *> list) {
        store.assign(list.begin(), list.end());
        argv.clear();
        for (auto &s : store) argv.push_back(s.data());
        argv.push_back(nullptr);
        return argv.data();
    }
    int Argc() const { return static_cast<int>(store.size()); }
    void SetUp() override {
        vesk_optind = 1;
        vesk_opterr = 0;
        vesk_server = const_cast<char *>("");
        lcompression = rcompression = -1;
        priority = 0;
        share = 0;
        verbose = 0;
        remote_vesk_version = 0;
        unsetenv("VESKSERVER");
    }
};

TEST_F(OptionsTest, SuffixOption) {
    char **a = Args({"prog", "-t", "2", "file"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 3);
    EXPECT_STREQ(vesk_server, "2");
}

TEST_F(OptionsTest, LastCompressionWins) {
    char **a = Args({"prog", "-c", "-r"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 3);
    EXPECT_EQ(lcompression, 0);
    EXPECT_EQ(rcompression, 0);
}

TEST_F(OptionsTest, ShareValues) {
    share = -1;
    char **a = Args({"prog", "-S", "on"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 3);
    EXPECT_EQ(share, 2);
    share = 1;
    vesk_optind = 1;
    a = Args({"prog", "-S", "5"});
    client_options(Argc(), a, "", nullptr);
    EXPECT_EQ(share, 1);
    vesk_optind = 1;
    a = Args({"prog", "-S", "0"});
    client_options(Argc(), a, "", nullptr);
    EXPECT_EQ(share, 0);
}

TEST_F(OptionsTest, PriorityPrints) {
    char **a = Args({"prog", "-p", "5"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Changing priority to 5\n");
    EXPECT_EQ(priority, 5);
}

TEST_F(OptionsTest, DashesEndOptions) {
    char **a = Args({"prog", "--", "-c"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 2);
    EXPECT_EQ(lcompression, -1);
    vesk_optind = 1;
    a = Args({"prog", "-", "x"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), 1);
}

int seen_option = 0;
int Accept(int option, char *) {
    seen_option = option;
    return 0;
}
int Refuse(int, char *) {
    return -1;
}

TEST_F(OptionsTest, ProgramLettersAndErrors) {
    char **a = Args({"prog", "-v", "-q", "x"});
    EXPECT_EQ(client_options(Argc(), a, "vq", Accept), 3);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(seen_option, 'q');
    vesk_optind = 1;
    a = Args({"prog", "-q"});
    EXPECT_EQ(client_options(Argc(), a, "q", Refuse), -1);
    EXPECT_STREQ(command_result, "Unrecognized option '-q'");
    vesk_optind = 1;
    a = Args({"prog", "-z"});
    EXPECT_EQ(client_options(Argc(), a, "", nullptr), -1);
    EXPECT_STREQ(command_result, "'?' is an illegal for some unknown reason");
}

TEST_F(OptionsTest, VeskServerFromEnvironmentOverriddenByT) {
    setenv("VESKSERVER", "env", 1);
    char **a = Args({"prog"});
    client_options(Argc(), a, "", nullptr);
    EXPECT_STREQ(vesk_server, "env");
    vesk_optind = 1;
    a = Args({"prog", "-t", "opt"});
    client_options(Argc(), a, "", nullptr);
    EXPECT_STREQ(vesk_server, "opt");
    unsetenv("VESKSERVER");
}

TEST_F(OptionsTest, UseVeskCommandWithVeskMode) {
    setenv("VESKMODE", "1", 1);
    EXPECT_EQ(use_vesk_command(0), 1);
    unsetenv("VESKMODE");
}

TEST_F(OptionsTest, BuildArgTerm) {
    setenv("TERM", "vt100", 1);
    char a0[] = "a", a1[] = "b";
    char *list[] = {a0, a1, nullptr};
    remote_vesk_version = 20305;
    EXPECT_EQ(std::string(build_arg(list)),
              "-DTERM=vt100\xff"
              "a\xff"
              "b\xff");
    remote_vesk_version = 11714;
    EXPECT_EQ(std::string(build_arg(list)),
              "a\xff"
              "b\xff");
    char *empty[] = {nullptr};
    EXPECT_EQ(build_arg(empty), nullptr);
    EXPECT_EQ(build_arg(nullptr), nullptr);
}

}  // namespace
