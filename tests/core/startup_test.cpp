#include "core/startup.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace orv_test {
namespace {

struct option_case {
    const char *name;
    std::vector<std::string> arguments;
    std::string host, port;
    const char *keyword; // null: none given
    std::string nick;
};

void PrintTo(const option_case &c, std::ostream *out) { *out << c.name; }

class parse_command_line_test : public testing::TestWithParam<option_case> {};

TEST_P(parse_command_line_test, fills_the_client_record)
{
    const option_case &c = GetParam();
    reset_client();
    std::vector<std::string> words = c.arguments;
    words.insert(words.begin(), "orv");
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    orv::parse_command_line(static_cast<int>(words.size()), argv.data());
    EXPECT_EQ(orv::client.host, c.host);
    EXPECT_EQ(orv::client.port, c.port);
    if (c.keyword == nullptr)
        EXPECT_EQ(orv::client.keyword, nullptr);
    else
        EXPECT_STREQ(orv::client.keyword, c.keyword);
    EXPECT_STREQ(orv::client.nick.data(), c.nick.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    cases, parse_command_line_test,
    testing::Values(
        option_case{"defaults", {}, "irc.test", "6667", nullptr, "bob"},
        option_case{"value_in_the_same_argument", {"-hhost1", "-p7000"}, "host1", "7000", nullptr, "bob"},
        option_case{"value_in_the_next_argument", {"-h", "host1", "-p", "7000"}, "host1", "7000", nullptr, "bob"},
        option_case{"value_taken_whole_even_with_a_hyphen", {"-h", "-p", "-k", "-n"}, "-p", "6667", "-n", "bob"},
        option_case{"all_four", {"-h", "h", "-p", "p", "-n", "carol", "-k", "k"}, "h", "p", "k", "carol"},
        option_case{"last_one_wins", {"-hone", "-htwo"}, "two", "6667", nullptr, "bob"},
        option_case{"final_double_hyphen_ends_the_options", {"-hx", "--"}, "x", "6667", nullptr, "bob"},
        option_case{"double_hyphen_as_a_value", {"-k", "--", "--"}, "irc.test", "6667", "--", "bob"},
        option_case{"empty_keyword_counts", {"-k", ""}, "irc.test", "6667", "", "bob"},
        option_case{"nick_cut_to_31", {"-n", std::string(40, 'n')}, "irc.test", "6667", nullptr,
                    std::string(31, 'n')}),
    [](const auto &info) { return std::string(info.param.name); });

// -n keeps 31 bytes, never part of a character.
INSTANTIATE_TEST_SUITE_P(nick_cut, parse_command_line_test, testing::ValuesIn(cut_rows<option_case>(31, 'n', [](auto &r) {
    return option_case{r.name, {"-n", r.text}, "irc.test", "6667", nullptr, r.kept}; })),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
