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

// ---- directory listing pages ----

namespace proto = vesk::proto;

TEST(Listing, PagesCutBeforeTheBudgetAndRoundTrip) {
    std::vector<size_t> lengths(100, 8);
    std::vector<size_t> starts = proto::page_starts(lengths);
    ASSERT_GT(starts.size(), 1u);
    // The longest entries the cut allows still fit a page.
    size_t per_page = starts[1] - starts[0];
    EXPECT_LE(proto::kPageHeaderMax + per_page * (proto::kEntryFixedMax + 8), proto::kListPageMax);
    EXPECT_EQ(proto::page_starts({}).size(), 1u);

    proto::ListEntry e;
    e.type = proto::kEntryLink;
    e.perms = 0777;
    e.size = 9;
    e.atime = -5;
    e.mtime = -(1LL << 50);  // clamped
    e.name = "a b\nc";
    std::string text = "3\n" + proto::format_entry(e);
    size_t pages = 0;
    std::vector<proto::ListEntry> got;
    ASSERT_TRUE(proto::parse_page(text, &pages, &got));
    EXPECT_EQ(pages, 3u);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "a b\nc");
    EXPECT_EQ(got[0].mtime, -proto::kMaxRelativeSeconds);
    EXPECT_FALSE(proto::parse_page("1\nf 644 1 0 0 9 short\n", &pages, &got));
    EXPECT_FALSE(proto::parse_page("0\n", &pages, &got));
}
