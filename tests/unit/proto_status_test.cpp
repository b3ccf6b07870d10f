// The file status reply and the directory listing pages: veskd's writing and
// the transfer programs' reading.
#include <gtest/gtest.h>

#include "file_status.h"
#include "listing.h"

namespace {

using vesk::proto::FileStatus;
using vesk::proto::format_file_status;
using vesk::proto::parse_file_status;

TEST(FileStatus, AllSevenFields) {
    FileStatus st;
    EXPECT_EQ(parse_file_status("8388608 0 1 -5 -3600 640 4660", &st), 7);
    EXPECT_EQ(st.size, 8388608);
    EXPECT_EQ(st.type, 0);
    EXPECT_EQ(st.atime, -5);
    EXPECT_EQ(st.mtime, -3600);
    EXPECT_EQ(st.perms, 0640u);
    EXPECT_EQ(st.crc, 4660u);
    EXPECT_EQ(format_file_status(st), "8388608 0 1 -5 -3600 640 4660");
}

// Like the scanf reading it replaces: missing or non-numeric fields end the
// reading and stay 0.
TEST(FileStatus, StopsAtFirstFieldThatIsNoNumber) {
    FileStatus st;
    EXPECT_EQ(parse_file_status("12 1", &st), 2);
    EXPECT_EQ(st.type, 1);
    EXPECT_EQ(st.mtime, 0);
    EXPECT_EQ(parse_file_status("No such file", &st), 0);
    EXPECT_EQ(parse_file_status("7 0 1 2 3 9 1", &st), 5);  // 9 is no octal digit
    EXPECT_EQ(st.perms, 0u);
}

// A time from the peer that would overflow once the local clock is added, or
// any field beyond its range, makes the reply unreadable.
TEST(FileStatus, OutOfRangeIsUnreadable) {
    FileStatus st;
    EXPECT_EQ(parse_file_status("1 0 1 0 99999999999999999999 644 1", &st), -1);
    EXPECT_EQ(st.mtime, 0);
    EXPECT_EQ(parse_file_status("1 0 1 -9223372036854775807 0", &st), -1);
    const long beyond = vesk::proto::kMaxRelativeSeconds + 1;
    EXPECT_EQ(parse_file_status(("1 0 1 " + std::to_string(beyond)).c_str(), &st), -1);
    EXPECT_EQ(parse_file_status("-1 0", &st), -1);                 // negative size
    EXPECT_EQ(parse_file_status("1 4294967296", &st), -1);         // type beyond int
    EXPECT_EQ(parse_file_status("1 0 1 0 0 17777 1", &st), -1);    // mode beyond 07777
    EXPECT_EQ(parse_file_status("1 0 1 0 0 644 65536", &st), -1);  // checksum beyond 16 bits
    EXPECT_EQ(parse_file_status("1 0 1 0 0 644 -1", &st), -1);
    const long edge = vesk::proto::kMaxRelativeSeconds;
    EXPECT_EQ(parse_file_status(("1 0 1 " + std::to_string(-edge)).c_str(), &st), 4);
}

}  // namespace

// ---- tree listings ----

namespace proto = vesk::proto;

TEST(Listing, EntriesRoundTripAndHostileOnesAreRefused) {
    proto::TreeEntry e;
    e.type = proto::kEntryLink;
    e.perms = 0777;
    e.size = 9;
    e.mtime = {1700000000, 123456789};
    e.atime = {-5, 0};
    e.path = "a b/c";
    e.target = "../x\ny";
    std::string text = proto::format_tree_entry(e) + "d 755 0 1.000000000 2.000000001 1 .\n";
    size_t pos = 0;
    proto::TreeEntry got;
    ASSERT_TRUE(proto::parse_tree_entry(text, &pos, &got));
    EXPECT_EQ(got.path, "a b/c");
    EXPECT_EQ(got.target, "../x\ny");
    EXPECT_TRUE(got.mtime == e.mtime);
    ASSERT_TRUE(proto::parse_tree_entry(text, &pos, &got));
    EXPECT_EQ(pos, text.size());
    for (const char *bad :
         {"f 644 1 0.000000000 0.000000000 9 short\n", "f 644 1 0.5 0.5 1 a\n",
          "f 644 -1 0.000000000 0.000000000 1 a\n", "f 644 1 0.000000000 0.000000000 1 a",
          "f 644 1 0.000000000 0.000000000 99999 a\n", "x 644 1 0.000000000 0.000000000 1 a\n"}) {
        pos = 0;
        EXPECT_FALSE(proto::parse_tree_entry(bad, &pos, &got)) << bad;
    }
    for (const char *path : {"..", "a/../b", "/etc", "a//b", "a/", "a\nb", "./a"})
        EXPECT_FALSE(proto::safe_tree_path(path)) << path;
    EXPECT_TRUE(proto::safe_tree_path("a/b c/.d"));
    EXPECT_FALSE(proto::safe_tree_path(std::string(256, 'x')));
    EXPECT_TRUE(proto::same_time({5, 0}, {5, 7}));
    EXPECT_FALSE(proto::same_time({5, 999999999}, {6, 0}));
}
