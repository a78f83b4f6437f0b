#include "lines/server_line.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace orv_test {
namespace {

struct server_case {
    const char *name;
    std::string line;
    std::string console; // what is shown
    std::string wire;    // what is answered
    std::string nick_after = "bob";
    bool welcomed = true;
};

void PrintTo(const server_case &c, std::ostream *out) { *out << c.name; }

class server_line_test : public testing::TestWithParam<server_case> {};

TEST_P(server_line_test, shows_answers_and_follows_our_nick)
{
    const server_case &c = GetParam();
    reset_client("#den");
    orv::client.welcomed = c.welcomed;
    put_line(c.line);
    captured out = capture(orv::handle_server_line);
    EXPECT_EQ(out.console, c.console);
    EXPECT_EQ(out.wire, c.wire);
    EXPECT_STREQ(orv::client.nick.data(), c.nick_after.c_str());
}

const std::string forty = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";

INSTANTIATE_TEST_SUITE_P(
    display_table, server_line_test,
    testing::Values(
        server_case{"channel_message", ":alice!ali PRIVMSG #den :hi there\r\n",
                    shown("#den", "<alice> hi there"), ""},
        server_case{"private_message", ":alice!ali PRIVMSG bob :psst\r\n",
                    shown("bob", "<alice> psst"), ""},
        server_case{"ping_is_answered", "PING :tok42\r\n", "", "PONG tok42\r\n"},
        server_case{"pong_is_hidden", ":hub PONG hub :hub\r\n", "", ""},
        server_case{"numeric", ":hub 001 bob :Welcome\r\n", shown("hub", ">< 001 (bob): Welcome"), ""},
        server_case{"welcome_names_our_nick", ":hub 001 erin :Welcome\r\n", shown("hub", ">< 001 (erin): Welcome"),
                    "", "erin"},
        server_case{"no_prefix_takes_the_host", "NOTICE AUTH :Looking up your host\r\n",
                    shown("irc.test", ">< NOTICE (AUTH): Looking up your host"), ""},
        server_case{"join_with_colon", ":alice!ali JOIN :#den\r\n", shown("alice", ">< JOIN (): #den"), ""},
        server_case{"join_without_colon", ":alice!ali JOIN #den\r\n", shown("alice", ">< JOIN (#den): "), ""},
        server_case{"first_colon_splits", ":alice!ali MODE #den +k a:b\r\n",
                    shown("alice", ">< MODE (#den +k a): b"), ""},
        server_case{"our_nick_change", ":bob!b NICK :robert\r\n", shown("bob", ">< NICK (): robert"), "",
                    "robert"},
        server_case{"prefix_alone_is_ignored", ":hub\r\n", "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    edges, server_line_test,
    testing::Values(
        server_case{"empty_line", "", "", ""},
        server_case{"line_end_alone", "\r\n", "", ""},
        server_case{"exclamation_mark_first_leaves_no_nick", ":!a PRIVMSG #den :hi\r\n", shown("#den", "<> hi"), ""},
        server_case{"prefix_and_blank_alone_is_ignored", ":hub \r\n", "", ""},
        server_case{"bare_line_feed_ends_the_line", ":a!b PRIVMSG #den :hi\n", shown("#den", "<a> hi"), ""},
        server_case{"bare_line_feed_never_reaches_a_pong", "PING :tok\n", "", "PONG tok\r\n"},
        server_case{"carriage_return_ends_the_line", ":hub 001 bob :one\rtwo\r\n",
                    shown("hub", ">< 001 (bob): one"), ""},
        server_case{"trailing_whitespace_trimmed_from_parameters", ":hub 005 bob a b \t\r\n",
                    shown("hub", ">< 005 (bob a b): "), ""},
        server_case{"lower_case_command_is_generic", ":a!b privmsg #den :hi\r\n",
                    shown("a", ">< privmsg (#den): hi"), ""},
        server_case{"welcome_nick_is_its_first_parameter", ":hub 001 " + forty + " x :Hi\r\n",
                    shown("hub", ">< 001 (" + forty + " x): Hi"), "", forty.substr(0, 31)},
        server_case{"welcome_nick_after_two_blanks", ":hub 001  erin :Welcome\r\n",
                    shown("hub", ">< 001 ( erin): Welcome"), "", "erin"},
        server_case{"welcome_without_parameters_keeps_our_nick", ":hub 001 :Welcome\r\n",
                    shown("hub", ">< 001 (): Welcome"), ""},
        server_case{"prefix_without_exclamation_mark", ":irc.hub.net NOTICE bob :x\r\n",
                    shown("irc.hub.net", ">< NOTICE (bob): x"), ""},
        server_case{"someone_elses_nick_change", ":alice!a NICK :alicia\r\n",
                    shown("alice", ">< NICK (): alicia"), ""},
        server_case{"nick_compared_case_sensitively", ":Bob!b NICK :robert\r\n",
                    shown("Bob", ">< NICK (): robert"), ""},
        server_case{"long_new_nick_cut_to_31", ":bob!b NICK :" + forty + "\r\n",
                    shown("bob", ">< NICK (): " + forty), "", forty.substr(0, 31)},
        server_case{"privmsg_with_only_a_target", ":a!b PRIVMSG #den\r\n", shown("#den", "<a> "), ""},
        server_case{"empty_ping_trailing", "PING :\r\n", "", "PONG \r\n"},
        server_case{"command_alone", "PING\r\n", "", "PONG \r\n"},
        // Shown, a line without a prefix grows by five bytes: cut at 4095.
        server_case{"shown_text_cut_inside_the_command", std::string(4093, 'C') + "\r\n",
                    shown("irc.test", ">< " + std::string(4092, 'C')), ""},
        server_case{"shown_text_cut_after_the_parameters", "999 " + std::string(4086, 'p') + " :t\r\n",
                    shown("irc.test", ">< 999 (" + std::string(4086, 'p') + ")"), ""}),
    [](const auto &info) { return std::string(info.param.name); });

// Before the welcome a nickname in use gets another, which a server that
// cuts nicknames (to the refused one's length, or ours to 31) keeps whole.
INSTANTIATE_TEST_SUITE_P(
    other_nick, server_line_test,
    testing::Values(
        server_case{"in_use_gets_an_underscore", ":hub 433 * bob :in use\r\n", shown("hub", ">< 433 (* bob): in use"),
                    "NICK bob_\r\n", "bob_", false},
        server_case{"cut_by_the_server_replaces_the_last", ":hub 436 * bo :x\r\n", shown("hub", ">< 436 (* bo): x"),
                    "NICK b_\r\n", "b_", false},
        server_case{"underscore_at_31_bytes_becomes_a_digit", ":hub 433 * " + forty.substr(0, 30) + "_ :x\r\n",
                    shown("hub", ">< 433 (* " + forty.substr(0, 30) + "_): x"), "NICK " + forty.substr(0, 30) + "1\r\n",
                    forty.substr(0, 30) + "1", false},
        server_case{"after_the_welcome_left_to_the_user", ":hub 433 bob al :in use\r\n",
                    shown("hub", ">< 433 (bob al): in use"), ""}),
    [](const auto &info) { return std::string(info.param.name); });

// The server may leave out the colon before a one-word last parameter; the
// commands orv acts on must still find their argument.
INSTANTIATE_TEST_SUITE_P(
    last_parameter_without_colon, server_line_test,
    testing::Values(
        server_case{"ping", "PING tok42\r\n", "", "PONG tok42\r\n"},
        server_case{"ping_with_two_parameters", "PING hub tok42\r\n", "", "PONG tok42\r\n"},
        server_case{"our_nick", ":bob!b NICK robert\r\n", shown("bob", ">< NICK (robert): "), "", "robert"},
        server_case{"privmsg", ":alice!a PRIVMSG #den hi\r\n", shown("#den", "<alice> hi"), ""},
        server_case{"privmsg_with_blanks_before_the_text", ":alice!a PRIVMSG #den   hi\r\n",
                    shown("#den", "<alice> hi"), ""}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
