#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vesknet.h"

namespace {

// Owns writable copies of the arguments, as a real argv would be.
class Args {
  public:
    Args(std::initializer_list<const char *> words) {
        for (const char *word : words) {
            storage_.emplace_back(word);
        }
        for (auto &word : storage_) {
            pointers_.push_back(word.data());
        }
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char *const *argv() const { return pointers_.data(); }
    char *at(size_t i) const { return pointers_[i]; }

  private:
    std::vector<std::string> storage_;
    std::vector<char *> pointers_;
};

class GetoptTest : public testing::Test {
  protected:
    // Each test ends its scan with -1, which leaves the scanner's position
    // empty; resetting the index is then enough to start a fresh scan.
    void SetUp() override {
        vesk_optind = 1;
        vesk_opterr = 1;
        vesk_optarg = nullptr;
        vesk_optopt = 0;
    }
    // The scan of a with opts refuses its first word, letter bad, printing
    // message, and then ends at the second word.
    void expect_one_refusal(const Args &a, const char *opts, int bad, const std::string &message) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), opts), '?');
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
        EXPECT_EQ(vesk_optind, 2);
        EXPECT_EQ(vesk_optopt, bad);
        EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), opts), -1);
        EXPECT_EQ(vesk_optind, 2);
    }
};

TEST_F(GetoptTest, GroupedLettersAdvanceIndexOnlyAfterLastOne) {
    Args a{"prog", "-ab", "file"};
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "ab"), 'a');
    EXPECT_EQ(vesk_optind, 1);
    EXPECT_EQ(vesk_optarg, nullptr);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "ab"), 'b');
    EXPECT_EQ(vesk_optind, 2);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "ab"), -1);
    EXPECT_EQ(vesk_optind, 2);
}

TEST_F(GetoptTest, ArgumentAttachedOrSeparate) {
    Args attached{"prog", "-p5"};
    EXPECT_EQ(vesk_getopt(attached.argc(), attached.argv(), "p:"), 'p');
    EXPECT_STREQ(vesk_optarg, "5");
    EXPECT_EQ(vesk_optarg, attached.at(1) + 2);
    EXPECT_EQ(vesk_optind, 2);
    EXPECT_EQ(vesk_getopt(attached.argc(), attached.argv(), "p:"), -1);

    vesk_optind = 1;
    Args separate{"prog", "-p", "5"};
    EXPECT_EQ(vesk_getopt(separate.argc(), separate.argv(), "p:"), 'p');
    EXPECT_EQ(vesk_optarg, separate.at(2));
    EXPECT_EQ(vesk_optind, 3);
    EXPECT_EQ(vesk_getopt(separate.argc(), separate.argv(), "p:"), -1);
    EXPECT_EQ(vesk_optind, 3);
}

TEST_F(GetoptTest, ArgumentTakesRestOfGroup) {
    Args a{"prog", "-apx", "-b"};
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "abp:"), 'a');
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "abp:"), 'p');
    EXPECT_STREQ(vesk_optarg, "x");
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "abp:"), 'b');
    EXPECT_EQ(vesk_optarg, nullptr);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "abp:"), -1);
    EXPECT_EQ(vesk_optind, 3);
}

TEST_F(GetoptTest, MissingArgumentReportsAndStopsAtCount) {
    expect_one_refusal({"prog", "-p"}, "p:", 'p', "prog: option requires an argument -- p\n");
}

TEST_F(GetoptTest, IllegalOptionReportsAndSkipsArgument) {
    expect_one_refusal({"prog", "-x", "file"}, "ab", 'x', "prog: illegal option -- x\n");
}

TEST_F(GetoptTest, IllegalLetterInsideGroupKeepsScanningGroup) {
    Args a{"prog", "-xa"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "a"), '?');
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(vesk_optind, 1);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "a"), 'a');
    EXPECT_EQ(vesk_optind, 2);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "a"), -1);
}

TEST_F(GetoptTest, ColonIsNeverAnOption) {
    Args a{"prog", "-:"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: illegal option -- :\n");
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), -1);
}

TEST_F(GetoptTest, QuietWhenOpterrIsZero) {
    vesk_opterr = 0;
    Args a{"prog", "-x", "-p"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), '?');
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), -1);
}

TEST_F(GetoptTest, DoubleDashEndsAndIsConsumed) {
    Args plain{"prog", "-a", "--", "-b"};
    EXPECT_EQ(vesk_getopt(plain.argc(), plain.argv(), "ab"), 'a');
    EXPECT_EQ(vesk_getopt(plain.argc(), plain.argv(), "ab"), -1);
    EXPECT_EQ(vesk_optind, 3);

    vesk_optind = 1;
    Args lettered{"prog", "--verbose", "-a"};
    EXPECT_EQ(vesk_getopt(lettered.argc(), lettered.argv(), "ab"), -1);
    EXPECT_EQ(vesk_optind, 2);
}

TEST_F(GetoptTest, LoneDashEndsWithoutBeingConsumed) {
    Args a{"prog", "-a", "-", "-b"};
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "ab"), 'a');
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "ab"), -1);
        EXPECT_EQ(vesk_optind, 2);
    }
}

TEST_F(GetoptTest, NonOptionOrNoArgumentsEnd) {
    Args none{"prog"};
    EXPECT_EQ(vesk_getopt(none.argc(), none.argv(), "ab"), -1);
    EXPECT_EQ(vesk_optind, 1);

    Args word{"prog", "file", "-a"};
    EXPECT_EQ(vesk_getopt(word.argc(), word.argv(), "ab"), -1);
    EXPECT_EQ(vesk_optind, 1);
}

TEST_F(GetoptTest, ProgramNameIsLastPathComponent) {
    Args a{"/usr/bin/upload", "-x", "-p"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), '?');
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "upload: illegal option -- x\nupload: option requires an argument -- p\n");
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "p:"), -1);
}

// A scan abandoned half-way through a group must not leave the scanner
// reading the old vector: callers free it and start another scan.
TEST_F(GetoptTest, NewScanAfterAbandonedGroupReadsOnlyTheNewVector) {
    vesk_opterr = 0;
    {
        Args old{"p", "-Zf"};
        EXPECT_EQ(vesk_getopt(old.argc(), old.argv(), "f"), '?');
        EXPECT_EQ(vesk_optind, 1);
    }  // freed here; ASan reports any later read of it
    vesk_optind = 1;
    Args fresh{"p", "-f"};
    EXPECT_EQ(vesk_getopt(fresh.argc(), fresh.argv(), "f"), 'f');
    EXPECT_EQ(vesk_optind, 2);
    EXPECT_EQ(vesk_getopt(fresh.argc(), fresh.argv(), "f"), -1);
}

// "-f-x": the dash is an illegal letter, not the end of the options, so the
// word is never applied in part and then taken as a file name.
TEST_F(GetoptTest, DashInsideGroupIsIllegal) {
    Args a{"prog", "-f-x", "file"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "fx"), 'f');
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "fx"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: illegal option -- -\n");
    EXPECT_EQ(vesk_optind, 1);
    EXPECT_EQ(vesk_getopt(a.argc(), a.argv(), "fx"), 'x');
    EXPECT_EQ(vesk_optind, 2);
}

}  // namespace
