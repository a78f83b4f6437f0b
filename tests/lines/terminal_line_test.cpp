#include "lines/terminal_line.hpp"

#include "capture.hpp"
#include "text/text.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace orv_test {
namespace {

const std::string leave_text = "orv - 250 LOC are too much!";
const std::string no_channel = shown("", "No channel to send to");
const std::string unwelcomed = shown("", "Not sent: not registered yet");

struct typed_case {
    const char *name;
    std::string typed;
    std::string channel_before;
    std::string wire;
    std::string console;
    std::string channel_after;
    bool welcomed = true;
};

void PrintTo(const typed_case &c, std::ostream *out) { *out << c.name; }

class terminal_line_test : public testing::TestWithParam<typed_case> {};

TEST_P(terminal_line_test, sends_shows_and_selects)
{
    const typed_case &c = GetParam();
    reset_client(c.channel_before.c_str());
    orv::client.welcomed = c.welcomed;
    put_line(c.typed);
    captured out = capture(orv::handle_terminal_line);
    EXPECT_EQ(out.wire, c.wire);
    EXPECT_EQ(out.console, c.console);
    EXPECT_STREQ(orv::client.default_channel.data(), c.channel_after.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    typed_table, terminal_line_test,
    testing::Values(
        typed_case{"chat", "hello\n", "#den", "PRIVMSG #den :hello\r\n", shown("#den", "<bob> hello"), "#den"},
        typed_case{"chat_without_channel", "hello\n", "", "", no_channel, ""},
        typed_case{"first_join_selects", ":j #den\n", "", "JOIN #den\r\n", "", "#den"},
        typed_case{"join_of_a_name_without_a_channel_prefix_selects_nothing", ":j den\n", "", "JOIN den\r\n", "", ""},
        typed_case{"join_of_an_ampersand_channel_selects", ":j &den\n", "", "JOIN &den\r\n", "", "&den"},
        typed_case{"join_of_a_plus_channel_selects", ":j +den\n", "", "JOIN +den\r\n", "", "+den"},
        typed_case{"join_of_an_exclamation_channel_selects", ":j !den\n", "", "JOIN !den\r\n", "", "!den"},
        typed_case{"join_of_a_list_selects_its_first_channel", ":j #a,bob\n", "", "JOIN #a,bob\r\n", "", "#a"},
        typed_case{"join_of_channels_selects_the_first", ":j #a,#b k\n", "", "JOIN #a,#b k\r\n", "", "#a"},
        typed_case{"join_of_a_list_led_by_a_person_selects_nothing", ":j bob,#a\n", "", "JOIN bob,#a\r\n", "", ""},
        typed_case{"later_join_keeps_default", ":j #two\n", "#den", "JOIN #two\r\n", "", "#den"},
        typed_case{"later_join_keeps_a_one_byte_default", ":j #two\n", "&", "JOIN #two\r\n", "", "&"},
        typed_case{"select", ":s #two\n", "#den", "", "", "#two"},
        typed_case{"leave_named", ":l #den\n", "#two", "PART #den :" + leave_text + "\r\n", "", "#two"},
        typed_case{"leave_with_text", ":l #den see you\n", "#two", "PART #den :see you\r\n", "", "#two"},
        typed_case{"leave_default", ":l \n", "#two", "PART #two :" + leave_text + "\r\n", "", "#two"},
        typed_case{"message", ":m alice hi there\n", "#den", "PRIVMSG alice :hi there\r\n",
                   shown("alice", "<bob> hi there"), "#den"},
        typed_case{"message_without_text", ":m alice\n", "#den", "PRIVMSG alice :\r\n",
                   shown("alice", "<bob> "), "#den"},
        typed_case{"message_without_target", ":m \n", "#den", "", no_channel, "#den"},
        typed_case{"raw", ":WHOIS alice\n", "#den", "WHOIS alice\r\n", "", "#den"},
        typed_case{"unknown_letter_is_raw", ":x foo\n", "#den", "x foo\r\n", "", "#den"},
        typed_case{"letter_alone_is_raw", ":l\n", "#den", "l\r\n", "", "#den"},
        // Before the welcome, only what the server takes then is sent.
        typed_case{"chat_before_the_welcome", "hello\n", "#den", "", unwelcomed, "#den", false},
        typed_case{"join_before_the_welcome", ":j #den\n", "", "", unwelcomed, "", false},
        typed_case{"raw_before_the_welcome", ":NICK bob2\n", "", "NICK bob2\r\n", "", "", false},
        typed_case{"select_before_the_welcome", ":s #den\n", "", "", "", "#den", false}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    edges, terminal_line_test,
    testing::Values(
        typed_case{"empty_line", "", "#den", "", "", "#den"},
        typed_case{"line_feed_alone_is_empty_chat", "\n", "#den", "PRIVMSG #den :\r\n", shown("#den", "<bob> "),
                   "#den"},
        typed_case{"line_feed_alone_without_channel", "\n", "", "", no_channel, ""},
        typed_case{"tab_separates_the_letter", ":j\t#den\n", "", "JOIN #den\r\n", "", "#den"},
        typed_case{"join_argument_untouched", ":j  #den\n", "", "JOIN  #den\r\n", "", "#den"},
        typed_case{"join_key_is_never_the_channel", ":j #keyed sekrit\n", "", "JOIN #keyed sekrit\r\n", "",
                   "#keyed"},
        typed_case{"upper_case_letter_is_raw", ":J #den\n", "", "J #den\r\n", "", ""},
        typed_case{"colon_alone_sends_an_empty_line", ":\n", "#den", "\r\n", "", "#den"},
        typed_case{"select_takes_the_first_word", ":s  #two key \n", "#den", "", "", "#two"},
        typed_case{"select_of_blanks_clears", ":s  \t\n", "#den", "", "", ""},
        typed_case{"leave_consumes_one_separator", ":l  #den   bye  now\n", "", "PART #den :  bye  now\r\n",
                   "", ""},
        typed_case{"leave_without_any_channel", ":l\t\n", "", "PART  :" + leave_text + "\r\n", "", ""},
        typed_case{"leave_text_cut_to_fit_at_a_character", ":l #den " + std::string(418, 'a') + "я!\n", "",
                   "PART #den :" + std::string(418, 'a') + "\r\n", "", ""},
        typed_case{"select_is_cut_to_255", ":s #" + std::string(299, 'c') + "\n", "", "", "",
                   "#" + std::string(254, 'c')},
        typed_case{"carriage_return_ends_the_line", "hi\r\n", "#den", "PRIVMSG #den :hi\r\n",
                   shown("#den", "<bob> hi"), "#den"},
        typed_case{"carriage_return_cannot_smuggle_a_line", "hi\rQUIT\n", "#den", "PRIVMSG #den :hi\r\n",
                   shown("#den", "<bob> hi"), "#den"},
        typed_case{"line_without_line_feed", "hello", "#den", "PRIVMSG #den :hello\r\n",
                   shown("#den", "<bob> hello"), "#den"}),
    [](const auto &info) { return std::string(info.param.name); });

std::string a(std::size_t count) { return std::string(count, 'a'); }

// A cut to a capacity (255 bytes of a default channel, 419 of a leave text
// on #den, 416 of a chat piece there) backs up to the start of a character
// it would split.
INSTANTIATE_TEST_SUITE_P(select_cut, terminal_line_test,
                         testing::ValuesIn(cut_rows<typed_case>(255, 'c', [](auto &r) {
                             return typed_case{r.name, ":s " + r.text + "\n", "", "", "", r.kept};
                         })),
                         [](const auto &info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(leave_text_cut, terminal_line_test,
                         testing::ValuesIn(cut_rows<typed_case>(419, 'c', [](auto &r) {
                             return typed_case{r.name, ":l #den " + r.text + "\n", "", "PART #den :" + r.kept + "\r\n", "", ""};
                         })),
                         [](const auto &info) { return std::string(info.param.name); });

// A long chat message goes in pieces of at most 512 bytes with CR LF as
// others receive it, behind ":nick!user@host " with a 10-byte user and a
// 63-byte host: 416 bytes of text for bob on #den.
struct split_case {
    const char *name;
    std::string nick, target, text;
    std::vector<std::string> pieces;
};

void PrintTo(const split_case &c, std::ostream *out) { *out << c.name; }

class split_test : public testing::TestWithParam<split_case> {};

TEST_P(split_test, pieces_fit_the_relayed_line_and_keep_characters_whole)
{
    const split_case &c = GetParam();
    reset_client();
    orv::strlcpy(orv::client.nick.data(), c.nick.c_str(), orv::nick_capacity);
    captured out = capture([&] {
        orv::send_message(c.target.c_str(), c.text.c_str());
        for (int left = 9; orv::client.unsent_text[0] != '\0' && left > 0; --left)
            orv::send_unsent_piece();
    });
    std::string wire;
    for (const std::string &piece : c.pieces)
        wire += "PRIVMSG " + c.target + " :" + piece + "\r\n";
    EXPECT_EQ(out.wire, wire);
}

INSTANTIATE_TEST_SUITE_P(cut, split_test, testing::ValuesIn(cut_rows<split_case>(416, 'a', [](auto &r) {
    split_case row{r.name, "bob", "#den", r.text, {r.kept, r.text.substr(r.kept.size())}};
    if (row.pieces[1].empty())
        row.pieces.pop_back();
    return row; })), [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    pieces, split_test,
    testing::Values(
        split_case{"exactly_the_budget", "bob", "#den", a(400) + " " + a(15), {a(400) + " " + a(15)}},
        split_case{"one_byte_over", "bob", "#den", a(417), {a(416), "a"}},
        split_case{"blank_at_the_edge_of_the_last_quarter", "bob", "#den", a(312) + " " + a(150), {a(312), a(150)}},
        split_case{"blank_just_outside_the_last_quarter", "bob", "#den", a(311) + " " + a(150),
                   {a(311) + " " + a(104), a(46)}},
        split_case{"blank_just_past_the_budget", "bob", "#den", a(416) + " b", {a(416), "b"}},
        split_case{"no_blank_at_all", "bob", "#den", a(900), {a(416), a(416), a(68)}},
        split_case{"two_byte_character_straddling", "bob", "#den", a(415) + "я!", {a(415), "я!"}},
        split_case{"three_byte_character_straddling", "bob", "#den", a(414) + "€!", {a(414), "€!"}},
        split_case{"four_byte_character_straddling", "bob", "#den", a(413) + "😀!", {a(413), "😀!"}},
        split_case{"200_byte_target", "bob", "#" + std::string(199, 'c'), a(221), {a(220), "a"}},
        split_case{"longest_nick", std::string(31, 'n'), "#den", a(389), {a(388), "a"}}),
    [](const auto &info) { return std::string(info.param.name); });

// The rest of a long line, in two more pieces, is never a command: the rest
// of chat goes to the same target, any other is dropped with one notice,
// and a line feed alone is no rest to drop.
TEST(terminal_line_rest, goes_where_the_line_went_or_is_dropped_with_one_notice)
{
    const std::string dropped = shown("", "Rest of a long line dropped"), evil = ":j #evil\n";
    for (auto [line, piece, wire, console] : std::initializer_list<std::array<std::string, 4>>{
             {"hi", evil, "PRIVMSG #den ::j #evil\r\n", shown("#den", "<bob> :j #evil")},
             {":m alice hi", evil, "PRIVMSG alice ::j #evil\r\n", shown("alice", "<bob> :j #evil")},
             {":l #den bye", evil, "", dropped}, {":WHO x", evil, "", dropped}, {":j #two", evil, "", dropped},
             {":s #two", evil, "", dropped}, {":l #den", "\n", "", ""}}) {
        reset_client("#den");
        put_line(line);
        capture(orv::handle_terminal_line);
        captured out = capture([&] {
            for (int twice = 0; twice < 2; ++twice) {
                put_line(piece);
                orv::handle_terminal_line_rest();
            }
        });
        EXPECT_EQ(out.wire, wire + wire) << "for " << line;
        EXPECT_EQ(out.console, console == dropped ? console : console + console) << "for " << line;
    }
}

TEST(send_message, echo_follows_our_current_nick)
{
    reset_client("#den");
    orv::strlcpy(orv::client.nick.data(), "robert", orv::nick_capacity);
    captured out = capture([] { orv::send_message("#den", "hi"); });
    EXPECT_EQ(out.console, shown("#den", "<robert> hi"));
    EXPECT_EQ(out.wire, "PRIVMSG #den :hi\r\n");
}

} // namespace
} // namespace orv_test
