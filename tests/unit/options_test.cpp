#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vesknet.h"

namespace {

class OptionsTest : public ::testing::Test {
  protected:
    std::vector<std::string> store;
    std::vector<char *> argv;
    // The scanner keeps a pointer into the vector it scans (it has no
    // reset): finish any group a refusal left half-scanned before the
    // strings go away.
    void drain() {
        if (store.empty()) return;
        int saved_err = vesk_opterr, saved_ind = vesk_optind;
        vesk_opterr = 0;
        while (vesk_getopt(argc(), argv.data(), "") != -1) {
        }
        vesk_opterr = saved_err;
        vesk_optind = saved_ind;
    }
    void TearDown() override { drain(); }
    char **args(std::initializer_list<const char *> list) {
        drain();
        store.assign(list.begin(), list.end());
        argv.clear();
        for (auto &s : store) argv.push_back(s.data());
        argv.push_back(nullptr);
        return argv.data();
    }
    int argc() const { return static_cast<int>(store.size()); }
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
    char **a = args({"prog", "-t", "2", "file"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 3);
    EXPECT_STREQ(vesk_server, "2");
}

TEST_F(OptionsTest, LastCompressionWins) {
    char **a = args({"prog", "-c", "-r"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 3);
    EXPECT_EQ(lcompression, 0);
    EXPECT_EQ(rcompression, 0);
}

TEST_F(OptionsTest, ShareValues) {
    share = -1;
    char **a = args({"prog", "-S", "on"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 3);
    EXPECT_EQ(share, 2);
    share = 1;
    vesk_optind = 1;
    a = args({"prog", "-S", "5"});
    client_options(argc(), a, "", nullptr);
    EXPECT_EQ(share, 1);
    vesk_optind = 1;
    a = args({"prog", "-S", "0"});
    client_options(argc(), a, "", nullptr);
    EXPECT_EQ(share, 0);
}

TEST_F(OptionsTest, PriorityPrints) {
    char **a = args({"prog", "-p", "5"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Changing priority to 5\n");
    EXPECT_EQ(priority, 5);
}

TEST_F(OptionsTest, DashesEndOptions) {
    char **a = args({"prog", "--", "-c"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 2);
    EXPECT_EQ(lcompression, -1);
    vesk_optind = 1;
    a = args({"prog", "-", "x"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 1);
}

int seen_option = 0;
int accept_all(int option, char *) {
    seen_option = option;
    return 0;
}
int refuse_all(int, char *) {
    return -1;
}

TEST_F(OptionsTest, ProgramLettersAndErrors) {
    char **a = args({"prog", "-v", "-q", "x"});
    EXPECT_EQ(client_options(argc(), a, "vq", accept_all), 3);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(seen_option, 'q');
    vesk_optind = 1;
    a = args({"prog", "-q"});
    EXPECT_EQ(client_options(argc(), a, "q", refuse_all), -1);
    EXPECT_STREQ(command_result, "Unrecognized option '-q'");
    vesk_optind = 1;
    a = args({"prog", "-z"});
    EXPECT_EQ(client_options(argc(), a, "", nullptr), -1);
    EXPECT_STREQ(command_result, "'?' is an illegal for some unknown reason");
}

TEST_F(OptionsTest, VeskServerFromEnvironmentOverriddenByT) {
    setenv("VESKSERVER", "env", 1);
    char **a = args({"prog"});
    client_options(argc(), a, "", nullptr);
    EXPECT_STREQ(vesk_server, "env");
    vesk_optind = 1;
    a = args({"prog", "-t", "opt"});
    client_options(argc(), a, "", nullptr);
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

namespace {

int refuse_z(int option, char *) {
    return option == 'z' ? -1 : 0;
}

// The message names the argument that held the refused option, wherever in
// a group it stood and whether or not the option took an argument.
TEST_F(OptionsTest, UnrecognizedNamesTheArgumentThatHeldIt) {
    struct Case {
        std::vector<const char *> args;
        const char *letters;
        const char *want;
    } cases[] = {
        {{"prog", "-qz", "file"}, "qz", "Unrecognized option '-qz'"},
        {{"prog", "-zq", "-qz"}, "qz", "Unrecognized option '-zq'"},
        {{"prog", "-qv", "-qz"}, "qzv", "Unrecognized option '-qz'"},
        {{"prog", "-cz"}, "z", "Unrecognized option '-cz'"},
        {{"prog", "-z", "value", "-z"}, "z:", "Unrecognized option '-z'"},
        {{"prog", "-z", "value"}, "z:", "Unrecognized option '-z'"},
        {{"prog", "-zvalue", "-q"}, "qz:", "Unrecognized option '-zvalue'"},
        {{"prog", "-q", "-t", "2", "-qz", "-z"}, "qz", "Unrecognized option '-qz'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        drain();
        vesk_optind = 1;
        store.assign(c.args.begin(), c.args.end());
        argv.clear();
        for (auto &a : store) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(client_options(argc(), argv.data(), c.letters, refuse_z), -1);
        EXPECT_STREQ(command_result, c.want);
    }
}

TEST_F(OptionsTest, ProgramLetterWithoutCallbackRefused) {
    char **a = args({"prog", "-rq"});
    EXPECT_EQ(client_options(argc(), a, "q", nullptr), -1);
    EXPECT_STREQ(command_result, "Unrecognized option '-rq'");
    EXPECT_EQ(lcompression, 0);
}

TEST_F(OptionsTest, ShareTextsAndNonNumericPriority) {
    const std::pair<const char *, int> texts[] = {{"off", 0}, {"x", 0}, {"on", 2}, {"-3", 2}};
    for (const auto &t : texts) {
        share = -1;
        vesk_optind = 1;
        char **a = args({"prog", "-S", t.first});
        EXPECT_EQ(client_options(argc(), a, "", nullptr), 3);
        EXPECT_EQ(share, t.second) << t.first;
    }
    vesk_optind = 1;
    char **a = args({"prog", "-pfast"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(client_options(argc(), a, "", nullptr), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Changing priority to 0\n");
    EXPECT_EQ(priority, 0);
}

TEST_F(OptionsTest, CommonLettersNeverReachCallback) {
    seen_option = 0;
    char **a = args({"prog", "-c", "x"});
    EXPECT_EQ(client_options(argc(), a, "c", accept_all), 2);
    EXPECT_EQ(seen_option, 0);
    EXPECT_EQ(lcompression, 1);
}

// use_vesk_command computes its result once per process, so each case runs
// in a fresh process.
class MarkerTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

std::string make_home() {
    char tmpl[] = "/tmp/vesk_markXXXXXX";
    char *dir = mkdtemp(tmpl);
    return dir != nullptr ? dir : "";
}

TEST_F(MarkerTest, SearchAlwaysSettlesOnLastCandidate) {
    EXPECT_EXIT(
        {
            unsetenv("VESKMODE");
            std::string home = make_home();
            setenv("HOME", home.c_str(), 1);
            setenv("VESKDEBUG", "3", 1);
            int first = use_vesk_command(0);
            setenv("VESKDEBUG", "9", 1);
            int again = use_vesk_command(0);
            rmdir(home.c_str());
            // No marker anywhere, yet the last candidate ends the search: 1.
            exit(first == 1 && again == 1 && vesk_debug == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(MarkerTest, VeskModeSkipsSearchAndDebug) {
    EXPECT_EXIT(
        {
            setenv("VESKMODE", "", 1);
            setenv("VESKDEBUG", "4", 1);
            int r = use_vesk_command(0);
            exit(r == 1 && vesk_debug == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(MarkerTest, SuffixedMarkerAndHugeSuffix) {
    EXPECT_EXIT(
        {
            unsetenv("VESKMODE");
            std::string home = make_home();
            setenv("HOME", home.c_str(), 1);
            std::string marker = home + "/vesknet7";
            FILE *f = fopen(marker.c_str(), "w");
            if (f != nullptr) fclose(f);
            // A suffix longer than any path must not overflow the search.
            static std::string huge(3 * 4096, 'h');
            vesk_server = huge.data();
            int r = use_vesk_command(0);
            unlink(marker.c_str());
            rmdir(home.c_str());
            exit(r == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(MarkerTest, FlagSelectsShareModeEveryCall) {
    EXPECT_EXIT(
        {
            setenv("VESKMODE", "1", 1);
            share = 2;
            savedeid = 5;
            use_vesk_command(0);  // savedeid set and flag 0: left alone
            bool kept = savedeid == 5 && share == 2;
            share = 1;
            use_vesk_command(1);  // flag set: share mode passed on again
            bool passed = share == 1 && savedeid == (getegid() != getgid() ? int(getegid()) : -1);
            exit(kept && passed ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
