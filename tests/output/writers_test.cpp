#include "output/writers.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

namespace orv_test {
namespace {

const std::string long_text(5000, 'x');
const std::string cut_text(4095, 'x');

TEST(send_to_server, ends_each_line_with_one_carriage_return_and_line_feed)
{
    reset_client();
    struct row {
        std::string text, wire;
    };
    for (const row &r : {row{"NICK bob", "NICK bob\r\n"},
                         row{"", "\r\n"},
                         row{long_text, cut_text + "\r\n"},
                         row{"PRIVMSG #den :a\rQUIT", "PRIVMSG #den :a\r\n"},
                         row{"JOIN #a\nQUIT", "JOIN #a\r\n"}}) {
        captured out = capture([&] { orv::send_to_server("%s", r.text.c_str()); });
        EXPECT_EQ(out.wire, r.wire) << "for " << r.text.substr(0, 40);
        EXPECT_EQ(out.console, "");
    }
}

struct console_case {
    const char *name;
    std::string column;
    std::string message;
    std::string console; // timestamp as "T"
    bool terminal = false;
    bool eight_bit = false; // the locale names an 8-bit character set
};

void PrintTo(const console_case &c, std::ostream *out) { *out << c.name; }

class show_on_console_test : public testing::TestWithParam<console_case> {};

TEST_P(show_on_console_test, pads_the_column_and_stamps_the_line)
{
    const console_case &c = GetParam();
    reset_client();
    orv::client.console_is_terminal = c.terminal;
    orv::client.console_is_eight_bit = c.eight_bit;
    captured out = capture([&] { orv::show_on_console(c.column.c_str(), "%s", c.message.c_str()); });
    EXPECT_EQ(out.console, c.console);
    EXPECT_EQ(out.wire, "");
}

INSTANTIATE_TEST_SUITE_P(
    cases, show_on_console_test,
    testing::Values(
        console_case{"short_column_is_padded", "#den", "<alice> hi", "#den        : T <alice> hi\n"},
        console_case{"empty_column_is_twelve_blanks", "", "No channel to send to",
                     "            : T No channel to send to\n"},
        console_case{"twelve_characters_meet_the_colon", "abcdefghijkl", "m", "abcdefghijkl: T m\n"},
        console_case{"thirteen_push_the_colon", "abcdefghijklm", "m", "abcdefghijklm: T m\n"},
        console_case{"long_column_is_never_cut", std::string(5000, 'c'), "m",
                     std::string(5000, 'c') + ": T m\n"},
        console_case{"long_message_is_cut_to_4095", "#den", long_text, "#den        : T " + cut_text + "\n"},
        // To a pipe, bytes pass unchanged: logs and scripts keep them.
        console_case{"control_bytes_pass_to_a_pipe", "#\x1b[2J", "\x07\x1b]0;t\x07", "#\x1b[2J       : T \x07\x1b]0;t\x07\n"},
        // Well-formed UTF-8 at each edge of its ranges passes to a terminal;
        // in what is not, the bytes 0x80 to 0x9F are C1 controls.
        console_case{"utf8_at_the_edges_of_its_ranges_passes", "#d",
                     "\xc2\xa0\xdf\xbf \xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf \xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xe2\x82\xac",
                     "#d          : T \xc2\xa0\xdf\xbf \xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf \xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xe2\x82\xac\n", true},
        // A terminal in an 8-bit mode obeys every byte 0x80 to 0x9F, inside
        // UTF-8 characters too: each such byte is escaped, the rest pass.
        console_case{"every_c1_byte_escaped_in_an_eight_bit_locale", "#\xc4\x9b",
                     "\xc2\x80\xdf\xbf \xe0\xa0\x80\xef\xbf\xbf \xf0\x90\x80\x80\xf4\x8f\xbf\xbf \xc4\x9b" "2J\x9f\xa0\xff\x1b",
                     "#\xc4^[[       : T \xc2^[@\xdf\xbf \xe0\xa0^[@\xef\xbf\xbf \xf0^[P^[@^[@\xf4^[O\xbf\xbf \xc4^[[2J^[_\xa0\xff^[\n",
                     true, true},

        console_case{"c1_bytes_outside_utf8_are_escaped", "#d",
                     "\xc2\x9f\xc2\x9b\xc1\x9b \xe0\x9f\x80 \xed\xa0\x80 \xf0\x8f\x80 \xf4\x90\x80\x80 \xe2\x82" "A \xf0\x9d\x84" "A \xf5\x80 \xe2\x82",
                     "#d          : T ^[_^[[\xc1^[[ \xe0^[_^[@ \xed\xa0^[@ \xf0^[O^[@ \xf4^[P^[@^[@ \xe2^[BA \xf0^[]^[DA \xf5^[@ \xe2^[B\n", true},
        // Each lone CSI byte takes three on a terminal, the longest escape.
        console_case{"message_of_lone_csi_bytes_shown_whole", std::string(4095, '\x9b'), std::string(5000, '\x9b'),
                     [] { std::string csi; for (int i = 0; i < 4095; ++i) csi += "^[["; return csi + ": T " + csi + "\n"; }(), true}),
    [](const auto &info) { return std::string(info.param.name); });

// At the 4095-byte cut, a character of each class begun at the last byte
// kept: its lead byte stays, alone, and nothing past the cut is read.
INSTANTIATE_TEST_SUITE_P(cut, show_on_console_test, testing::ValuesIn(cut_rows<console_case>(4095, 'x', [](auto &r) {
    return console_case{r.name, "#d", r.text, "#d          : T " + r.text.substr(0, 4095) + "\n", true}; })),
                         [](const auto &info) { return std::string(info.param.name); });

struct exit_case {
    const char *name;
    const char *format;
    const char *argument;
    const char *error; // a regular expression for all of standard error
};

void PrintTo(const exit_case &c, std::ostream *out) { *out << c.name; }

class exit_with_error_test : public testing::TestWithParam<exit_case> {};

TEST_P(exit_with_error_test, writes_the_message_and_ends_with_status_1)
{
    const exit_case &c = GetParam();
    EXPECT_EXIT(
        {
            errno = ENOENT;
            orv::exit_with_error(c.format, c.argument);
        },
        testing::ExitedWithCode(1), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    cases, exit_with_error_test,
    testing::Values(
        exit_case{"colon_gets_the_system_reason", "fdopen:", "", "^fdopen: No such file or directory\n$"},
        exit_case{"colon_after_formatting", "error: cannot resolve hostname '%s':", "h",
                  "^error: cannot resolve hostname 'h': No such file or directory\n$"},
        exit_case{"line_feed_is_written_alone", "error: cannot connect to host '%s'\n", "h",
                  "^error: cannot connect to host 'h'\n$"},
        exit_case{"colon_in_the_argument_does_not_count", "%s", "x:", "^x:$"},
        exit_case{"empty_format", "", "", "^$"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
