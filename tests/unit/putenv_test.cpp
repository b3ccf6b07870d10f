#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vesknet.h"

namespace {

// Captured before any test runs, so the first growth can be compared with
// the array the process started with.
char **const initial_environ = environ;

size_t count_entries(char **array) {
    size_t n = 0;
    while (array[n] != nullptr) {
        ++n;
    }
    return n;
}

size_t occurrences(const char *name) {
    size_t length = std::strlen(name);
    size_t found = 0;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
            ++found;
        }
    }
    return found;
}

// Must run first in this program: it checks that the start-up array is
// copied rather than resized, and left intact.
TEST(PutenvGrowthTest, FirstNewVariableCopiesThenLaterOnesResizeCopy) {
    ASSERT_EQ(environ, initial_environ);
    size_t before = count_entries(environ);
    std::vector<char *> saved(environ, environ + before + 1);

    ASSERT_EQ(vesk_putenv("VESK_T_FIRST=1"), 0);
    EXPECT_NE(environ, initial_environ);
    EXPECT_EQ(count_entries(environ), before + 1);
    EXPECT_STREQ(getenv("VESK_T_FIRST"), "1");
    for (size_t i = 0; i <= before; ++i) {
        EXPECT_EQ(initial_environ[i], saved[i]);
    }

    ASSERT_EQ(vesk_putenv("VESK_T_SECOND=2"), 0);
    EXPECT_EQ(count_entries(environ), before + 2);
    EXPECT_STREQ(getenv("VESK_T_FIRST"), "1");
    EXPECT_STREQ(getenv("VESK_T_SECOND"), "2");
    for (size_t i = 0; i < before; ++i) {
        EXPECT_EQ(environ[i], saved[i]);
    }
}

TEST(PutenvValueTest, LongerValueMakesNewEntryShorterOverwritesInPlace) {
    ASSERT_EQ(vesk_putenv("VESK_T_X=1"), 0);
    char *first = getenv("VESK_T_X");
    size_t count = count_entries(environ);

    ASSERT_EQ(vesk_putenv("VESK_T_X=22"), 0);
    char *second = getenv("VESK_T_X");
    EXPECT_STREQ(second, "22");
    EXPECT_NE(second, first);
    EXPECT_EQ(count_entries(environ), count);
    EXPECT_EQ(occurrences("VESK_T_X"), 1U);

    ASSERT_EQ(vesk_putenv("VESK_T_X=1"), 0);
    EXPECT_EQ(getenv("VESK_T_X"), second);
    EXPECT_STREQ(second, "1");

    ASSERT_EQ(vesk_putenv("VESK_T_X="), 0);
    EXPECT_EQ(getenv("VESK_T_X"), second);
    EXPECT_STREQ(second, "");
    EXPECT_EQ(count_entries(environ), count);
}

TEST(PutenvValueTest, SplitsAtFirstEqualsAndSkipsOneLeadingEquals) {
    ASSERT_EQ(vesk_putenv("VESK_T_A=b=c"), 0);
    EXPECT_STREQ(getenv("VESK_T_A"), "b=c");

    ASSERT_EQ(vesk_putenv("VESK_T_B==b"), 0);
    EXPECT_STREQ(getenv("VESK_T_B"), "b");

    ASSERT_EQ(vesk_putenv("VESK_T_C===b"), 0);
    EXPECT_STREQ(getenv("VESK_T_C"), "=b");
}

TEST(PutenvValueTest, NameMustMatchWholeUpToEquals) {
    ASSERT_EQ(vesk_putenv("VESK_T_LONGNAME=long"), 0);
    ASSERT_EQ(vesk_putenv("VESK_T_LONG=short"), 0);
    EXPECT_STREQ(getenv("VESK_T_LONGNAME"), "long");
    EXPECT_STREQ(getenv("VESK_T_LONG"), "short");
}

TEST(PutenvValueTest, CopiesCallersText) {
    std::string text = "VESK_T_COPY=value";
    ASSERT_EQ(vesk_putenv(text.c_str()), 0);
    text.assign("VESK_T_COPY=other");
    EXPECT_STREQ(getenv("VESK_T_COPY"), "value");
}

TEST(PutenvRefusalTest, TextWithoutEqualsChangesNothing) {
    ASSERT_EQ(vesk_putenv("VESK_T_NOEQ=kept"), 0);
    char **array = environ;
    size_t count = count_entries(environ);

    EXPECT_EQ(vesk_putenv("VESK_T_NOEQ"), 1);
    EXPECT_EQ(vesk_putenv(""), 1);
    EXPECT_EQ(environ, array);
    EXPECT_EQ(count_entries(environ), count);
    EXPECT_STREQ(getenv("VESK_T_NOEQ"), "kept");
}

}  // namespace
