#include "text/text.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

struct copy_case {
    const char *name;
    const char *source;
    std::size_t capacity;
    const char *copied;
};

void PrintTo(const copy_case &c, std::ostream *out) { *out << c.name; }

class strlcpy_test : public testing::TestWithParam<copy_case> {};

TEST_P(strlcpy_test, copies_within_capacity_and_returns_the_source_length)
{
    const copy_case &c = GetParam();
    char destination[64];
    std::memset(destination, 'x', sizeof destination);
    EXPECT_EQ(orv::strlcpy(destination, c.source, c.capacity), std::strlen(c.source));
    if (c.capacity == 0) {
        EXPECT_EQ(destination[0], 'x') << "nothing may be written with capacity 0";
        return;
    }
    EXPECT_STREQ(destination, c.copied);
    EXPECT_EQ(destination[c.capacity], 'x') << "wrote past the capacity";
}

INSTANTIATE_TEST_SUITE_P(
    cases, strlcpy_test,
    testing::Values(copy_case{"fits", "bob", 32, "bob"},
                    copy_case{"exactly_capacity_minus_one", "abc", 4, "abc"},
                    copy_case{"exactly_capacity_is_cut", "abcd", 4, "abc"},
                    copy_case{"longer_is_cut", "0123456789012345678901234567890123456789", 32,
                              "0123456789012345678901234567890"},
                    copy_case{"capacity_one_gives_empty", "abc", 1, ""},
                    copy_case{"capacity_zero_writes_nothing", "abc", 0, ""},
                    copy_case{"empty_source", "", 8, ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct cut_case {
    const char *name;
    const char *text;
    char c;
    const char *before;
    const char *after;
};

void PrintTo(const cut_case &c, std::ostream *out) { *out << c.name; }

class cut_at_test : public testing::TestWithParam<cut_case> {};

TEST_P(cut_at_test, ends_the_text_at_the_first_occurrence)
{
    const cut_case &c = GetParam();
    std::string text = c.text;
    char *after = orv::cut_at(text.data(), c.c);
    EXPECT_STREQ(text.c_str(), c.before);
    EXPECT_STREQ(after, c.after);
    if (std::strcmp(c.before, c.text) == 0)
        EXPECT_EQ(after, text.data() + text.size()) << "no occurrence: the terminator itself";
}

INSTANTIATE_TEST_SUITE_P(
    cases, cut_at_test,
    testing::Values(cut_case{"first_of_several", "a b c", ' ', "a", "b c"},
                    cut_case{"absent", "abc", ' ', "abc", ""},
                    cut_case{"at_the_start", ":x", ':', "", "x"},
                    cut_case{"at_the_end", "abc\r", '\r', "abc", ""},
                    cut_case{"empty_text", "", ' ', "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(end_line, stops_at_the_first_carriage_return_or_line_feed)
{
    for (auto [text, line] : {std::pair{"hi\r\n", "hi"}, {"hi\n", "hi"}, {"a\rb\n", "a"},
                              {"a\nb\r\n", "a"}, {"plain", "plain"}, {"\r\n", ""}}) {
        std::string buffer = text;
        orv::end_line(buffer.data());
        EXPECT_STREQ(buffer.c_str(), line) << "for " << text;
    }
}

TEST(is_space, classifies_as_the_posix_locale)
{
    for (int c = -128; c < 128; ++c) {
        bool expected = c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
        EXPECT_EQ(orv::is_space(static_cast<char>(c)), expected) << "byte " << c;
    }
}

} // namespace
