// Whois text handling: the user[@server] split and the answer conversion.
#include <gtest/gtest.h>

#include <string>

#include "../../utils/whois_text.h"

namespace {

std::string convert(const std::string &answer) {
    whois::AnswerFilter filter;
    std::string out;
    for (unsigned char c : answer) {
        const int o = filter.feed(c);
        if (o >= 0) out.push_back(static_cast<char>(o));
    }
    if (filter.needs_final_newline()) out.push_back('\n');
    return out;
}

}  // namespace

TEST(WhoisSplit, AtTheLastAt) {
    whois::Query q = whois::split_query("a@b@host.example");
    EXPECT_EQ(q.text, "a@b");
    EXPECT_EQ(q.server, "host.example");
    q = whois::split_query("@127.0.0.1");
    EXPECT_EQ(q.text, "");
    EXPECT_EQ(q.server, "127.0.0.1");
    q = whois::split_query("name@");
    EXPECT_EQ(q.text, "name");
    EXPECT_EQ(q.server, "");
}

TEST(WhoisSplit, NoAtAsksTheDefaultServer) {
    const whois::Query q = whois::split_query("example.org");
    EXPECT_EQ(q.text, "example.org");
    EXPECT_EQ(q.server, whois::kDefaultServer);
    EXPECT_EQ(whois::split_query("").server, whois::kDefaultServer);
}

TEST(WhoisAnswer, LineEnds) {
    EXPECT_EQ(convert("a\r\nb\r\n"), "a\nb\n");
    EXPECT_EQ(convert("a\rb\n"), "a\nb\n");
    EXPECT_EQ(convert("a\r\r\nb\n"), "a\n\nb\n");
    EXPECT_EQ(convert("a\n\nb\n"), "a\n\nb\n");
    EXPECT_EQ(convert("a\n\r"), "a\n\n\n");  // a lone final CR: its own LF and the closing one
    EXPECT_EQ(convert("a\r"), "a\n\n");
    EXPECT_EQ(convert("a\r\n\n"), "a\n\n");
}

TEST(WhoisAnswer, EmptyAndUnterminated) {
    EXPECT_EQ(convert(""), "\n");
    EXPECT_EQ(convert("abc"), "abc\n");
    EXPECT_EQ(convert("\n"), "\n");
}

TEST(WhoisAnswer, EighthBitDropped) {
    EXPECT_EQ(convert("\xC1\xE2\n"), "Ab\n");
    EXPECT_EQ(convert("x\x8D\x8Ay"), "x\ny\n");  // masked CR LF is a line end too
    EXPECT_EQ(convert("\xFF\n"), "\x7F\n");
}

TEST(WhoisAnswer, ControlCharactersMadePrintable) {
    EXPECT_EQ(convert(std::string("\x01\x00\x1b\x1f\n", 5)), "A@[_\n");
    EXPECT_EQ(convert("\x7f\n"), "\x7f\n");
    EXPECT_EQ(convert("\t\f\v \n"), "\t\f\v \n");
}
