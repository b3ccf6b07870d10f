#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run.h"

using namespace vesk::transfer;

namespace {

struct Argv {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
        for (auto &s : words) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char **argv() { return ptrs.data(); }
};

struct timeval at(long sec, long usec = 0) {
    struct timeval tv {};
    tv.tv_sec = sec;
    tv.tv_usec = usec;
    return tv;
}

TEST(TransferNaming, CutKeepsTheLastComponentAndATrailingSlash) {
    const char *cases[][2] = {{"dir/x", "x"}, {"/x", "x"}, {"dir/x/", "x/"}, {"x", "x"},
                              {"", ""},       {"/", "/"},  {"a/b/c", "c"}};
    for (auto &c : cases) EXPECT_EQ(cut_name(c[0]), c[1]) << c[0];
}

TEST(TransferNaming, DirectoryPrefixGetsExactlyOneSlash) {
    EXPECT_EQ(directory_prefix("d"), "d/");
    EXPECT_EQ(directory_prefix("d/"), "d/");
    EXPECT_EQ(directory_prefix("/"), "/");
}

TEST(TransferNaming, RenamingPrefixAndKeepPath) {
    vesk::transfer::Run run;
    Argv a({"upload", "a/b/c", "a/b/c", "-as", "x", "q", "-as"});
    int i = 1;
    FileArg f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.target, "c");
    EXPECT_TRUE(f.long_form);
    EXPECT_EQ(i, 2);
    f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.target, "x");
    EXPECT_EQ(i, 5);
    f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.target, "q");
    EXPECT_FALSE(f.long_form);
    // "-as" with nothing after it is a file argument of its own.
    f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.source, "-as");
    EXPECT_EQ(i, 7);

    run.keep_path = true;
    Argv b({"upload", "a/b/c", "--as", "same"});
    i = 1;
    f = next_file_arg(run, b.argc(), b.argv(), &i);
    EXPECT_EQ(f.target, "same");
    i = 1;
    Argv c({"upload", "a/b/c"});
    f = next_file_arg(run, c.argc(), c.argv(), &i);
    EXPECT_EQ(f.target, "a/b/c");
    EXPECT_FALSE(f.long_form);

    run.keep_path = false;
    run.prefix = "d/";
    i = 1;
    f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.target, "d/c");
    f = next_file_arg(run, a.argc(), a.argv(), &i);
    EXPECT_EQ(f.target, "d/x");
}

TEST(TransferNaming, ARenamedTargetEqualToItsSourceStillTakesTheLongForm) {
    vesk::transfer::Run run;
    Argv a({"upload", "x", "-as", "x"});
    int i = 1;
    EXPECT_TRUE(next_file_arg(run, a.argc(), a.argv(), &i).long_form);
}

TEST(TransferNaming, JoinedNamesBeyondTheBufferAreRefused) {
    vesk::transfer::Run run;
    run.prefix = std::string(200, 'd') + "/";
    std::string fits(kNameMax - run.prefix.size(), 'f');
    std::string over = fits + "g";
    Argv a({"upload", fits, over});
    int i = 1;
    EXPECT_FALSE(next_file_arg(run, a.argc(), a.argv(), &i).too_long);
    EXPECT_TRUE(next_file_arg(run, a.argc(), a.argv(), &i).too_long);
}

TEST(TransferProgress, TheFourForms) {
    EXPECT_EQ(progress_line(50, 200, true, 100, 1.5),
              "\r\t50 of 200 (25%), current CPS 100. ETA: 1.5 TT: 2.0   ");
    EXPECT_EQ(progress_line(50, 200, true, 0, 0), "\r\t50 of 200 (25%)   ");
    EXPECT_EQ(progress_line(50, 0, false, 100, 0), "\r\t50, current CPS 100. ");
    EXPECT_EQ(progress_line(50, 0, false, 0, 0), "\r\t50  ");
}

TEST(TransferProgress, PercentageDoesNotOverflowOnHugeFiles) {
    long big = 1L << 60;
    EXPECT_EQ(progress_line(big / 2, big, true, 0, 0),
              "\r\t" + std::to_string(big / 2) + " of " + std::to_string(big) + " (50%)   ");
}

TEST(TransferProgress, UploadRateIsZeroInTheFirstSecondThenOverFourPoints) {
    UploadRate r(at(100));
    EXPECT_EQ(r.sample(at(100, 500000), 1000, 1000), 0);
    EXPECT_EQ(r.first_second(), 1000);
    // 1.0 s after the start: stored, dt 0.5 s since the previous point.
    EXPECT_DOUBLE_EQ(r.sample(at(101), 2000, 1000), 2000);
    EXPECT_DOUBLE_EQ(r.sample(at(102), 5000, 3000), 4000.0 / 1.5);
    r.sample(at(103), 6000, 1000);
    r.sample(at(104), 7000, 1000);
    // Five stored samples: the first has left the four-slot ring.
    EXPECT_DOUBLE_EQ(r.sample(at(105), 8000, 1000), 6000.0 / 4);
    EXPECT_EQ(r.first_second(), 1000);
}

TEST(TransferProgress, DownloadRateOverTenWrites) {
    DownloadRate r(at(10));
    EXPECT_DOUBLE_EQ(r.sample(at(11), 100), 100);
    for (int i = 0; i < 10; ++i) r.sample(at(12 + i), 1000);
    EXPECT_DOUBLE_EQ(r.sample(at(22), 1000), 1000);
    // Duration sum 0: rate 0 rather than a division by zero.
    DownloadRate z(at(5));
    EXPECT_EQ(z.sample(at(5), 100), 0);
}

TEST(TransferProgress, ReadBlockAdaptsAndNeverFallsBelowOne) {
    EXPECT_EQ(adapt_read_block(1024, 10000, 8192), 8192);
    // Doubling stops where the offset is no longer aligned.
    EXPECT_EQ(adapt_read_block(1024, 10000, 2048), 2048);
    EXPECT_EQ(adapt_read_block(1024, 300, 0), 512);
    EXPECT_EQ(adapt_read_block(1024, 0, 0), 1);
    EXPECT_EQ(adapt_read_block(1, 0.1, 7), 1);
    EXPECT_EQ(adapt_read_block(0, 0, 7), 1);
    EXPECT_EQ(adapt_read_block(1024, 1e18, 0), 1 << 30);
}

TEST(TransferSummary, UploadFloorsAndDownloadZero) {
    EXPECT_EQ(upload_summary(1000, 0),
              "\r\t1000 bytes sent in 0.0 seconds; CPS = 2000                   ");
    EXPECT_EQ(upload_summary(1000, 0.3),
              "\r\t1000 bytes sent in 0.3 seconds; CPS = 2000                   ");
    EXPECT_EQ(upload_summary(1000, 2),
              "\r\t1000 bytes sent in 2.0 seconds; CPS = 500                   ");
    double used = 0;
    EXPECT_EQ(download_summary(1000, 0, &used),
              "\r\t1000 bytes received in 0.1 seconds; CPS = 10000               ");
    EXPECT_DOUBLE_EQ(used, 0.1);
    EXPECT_EQ(download_summary(1000, 4, &used),
              "\r\t1000 bytes received in 4.0 seconds; CPS = 250               ");
}

class TransferOptions : public ::testing::Test {
  protected:
    void SetUp() override { vesk_optind = 1; }
    void TearDown() override { vesk_optind = 1; }
};

TEST_F(TransferOptions, DefaultsAndOrderOfQuietAndVerbose) {
    vesk::transfer::Run run;
    run_defaults(run, Program::kUpload);
    EXPECT_EQ(verbose, 1);
    EXPECT_EQ(priority, -5);
    EXPECT_EQ(lcompression, 0);
    EXPECT_EQ(rcompression, 0);
    Argv a({"upload", "-q", "-v", "-f", "-u", "-l", "x"});
    EXPECT_EQ(run_options(run, a.argc(), a.argv()), 6);
    EXPECT_EQ(verbose, 1);
    EXPECT_TRUE(run.force);
    EXPECT_TRUE(run.remove);
    EXPECT_TRUE(run.keep_path);

    vesk_optind = 1;
    lcompression = rcompression = -1;
    run_defaults(run, Program::kDownload);
    EXPECT_EQ(lcompression, -1);
    EXPECT_EQ(run.read_block, 1024);
    Argv b({"download", "-v", "-q", "x"});
    EXPECT_EQ(run_options(run, b.argc(), b.argv()), 3);
    EXPECT_EQ(verbose, 0);
    EXPECT_FALSE(run.force);
}

TEST_F(TransferOptions, CallbackRefusesForeignLetters) {
    EXPECT_EQ(run_option_callback('f', nullptr), 0);
    EXPECT_EQ(run_option_callback('l', nullptr), 0);
    EXPECT_EQ(run_option_callback('x', nullptr), -1);
}

TEST_F(TransferOptions, UsageErrorsExitWithOne) {
    vesk::transfer::Run run;
    run_defaults(run, Program::kUpload);
    Argv none({"upload", "-f"});
    EXPECT_EXIT(
        run_options(run, none.argc(), none.argv()), ::testing::ExitedWithCode(1),
        "Usage: upload \\[-f\\] \\[-q\\] \\[-u\\] \\[-v\\] \\[-r\\] \\[-c\\] \\[-p <num>\\] "
        "<file> \\[... <file>\\] \\[remote dir\\]");
    vesk_optind = 1;
    run_defaults(run, Program::kDownload);
    Argv bad({"download", "-z", "x"});
    EXPECT_EXIT(run_options(run, bad.argc(), bad.argv()), ::testing::ExitedWithCode(1),
                "\\[local dir\\]");
}

TEST(TransferDirectory, EmptyDirectoryArgumentIsFatal) {
    vesk::transfer::Run run;
    Argv a({"upload", "x", ""});
    int argc = a.argc();
    EXPECT_EXIT(run_take_directory(run, &argc, a.argv(), true), ::testing::ExitedWithCode(1),
                "\tFatal. Zero length path passed.");
    EXPECT_FALSE(run_take_directory(run, &argc, a.argv(), false));
    Argv b({"upload", "x", "dir"});
    argc = b.argc();
    EXPECT_TRUE(run_take_directory(run, &argc, b.argv(), true));
    EXPECT_EQ(argc, 2);
    EXPECT_EQ(run.prefix, "dir/");
}

}  // namespace
