// Hostile input at the process level: whatever a server (or anyone who can
// put text through it) sends, and whatever is typed or piped in, orv keeps
// running, sends exactly what it should and nothing more, and never lets a
// control byte through to a terminal. After every case orv must still
// answer a PING and end normally when its input ends.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

namespace orv_test {
namespace {

using namespace std::string_literals;

struct hostile_case {
    const char *name;
    std::string from_server;     // what the peer sends after the login
    std::string typed;           // what is typed into orv
    bool to_terminal;            // standard output is a pseudo-terminal
    std::string wire;            // exactly what the peer receives for them
    std::string console;         // exactly what is shown, times as "T"
    duration peer_stalls = 0ms;  // the peer reads nothing for this long
    std::string locale = {};     // LC_ALL, an 8-bit one made for the test
};

void PrintTo(const hostile_case &c, std::ostream *out) { *out << c.name; }

class hostile_test : public testing::TestWithParam<hostile_case> {};

const std::string eight_bit_locale = "en_US.ISO-8859-1";

// A folder for LOCPATH with the 8-bit locale made in it.
const std::string &made_locales()
{
    static temporary_directory folder;
    static int made = run_program({"localedef", "-i", "en_US", "-f", "ISO-8859-1", folder.path + "/" + eight_bit_locale});
    EXPECT_EQ(made, 0) << "localedef could not make " << eight_bit_locale;
    return folder.path;
}

// The terminal turns each line feed into CR LF on the way out.
std::string from_terminal(std::string text)
{
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

// Sent after a case's own bytes: once it is answered, every server line
// before it has been handled.
const std::string barrier = "PING :end-of-case\r\n";
const std::string barrier_answer = "PONG end-of-case\r\n";
// Typed after a case's own bytes: once its message reaches the peer, every
// typed line before it has been handled.
const std::string marker = ":m probe done\n";
const std::string marker_wire = "PRIVMSG probe :done\r\n";
const std::string marker_console = console_line("probe", "<bob> done");

TEST_P(hostile_test, keeps_running_and_sends_only_what_it_should)
{
    const hostile_case &c = GetParam();
    run_options options;
    options.output_to_terminal = c.to_terminal;
    if (!c.locale.empty())
        options.environment = {"USER=bob", "TZ=UTC", "LC_ALL=" + c.locale, "LOCPATH=" + made_locales()};
    // Five lines sent leave at once, then one every two seconds, on a clock
    // ten times as fast where more than five are typed: late on a busy
    // machine, never early.
    const double speed = !c.typed.empty() && std::count(c.wire.begin(), c.wire.end(), '\n') >= 5 ? 10 : 1;
    if (speed > 1)
        options.clock = "+0 x10";
    session s(options);
    ASSERT_GE(s.peer, 0);
    std::string wire;
    auto typed = std::chrono::steady_clock::now();
    if (!c.typed.empty())
        send_text(s.orv.input, c.typed + marker);
    for (int lines = 0; !c.typed.empty() && !wire.ends_with(marker_wire);) {
        std::string got = read_until(s.peer, "\n", 10s);
        double left = std::chrono::duration<double>(std::chrono::steady_clock::now() - typed).count() * speed;
        lines += static_cast<int>(std::count(got.begin(), got.end(), '\n'));
        double slot = 2.0 * std::max(lines - 5, 0);
        EXPECT_TRUE(left > slot - 0.05 && left < slot + 2.5) << "line " << lines << " left after " << left << " s, not " << slot;
        if (got.empty())
            break;
        wire += got;
    }
    // Sent from a thread, so that a peer that does not read cannot stall
    // the test while orv stops reading from it.
    std::thread peer_talks([&] { send_text(s.peer, c.from_server + barrier); });
    std::this_thread::sleep_for(c.peer_stalls);
    wire += read_until(s.peer, barrier_answer, 30s);
    peer_talks.join();
    EXPECT_EQ(wire, c.typed.empty() ? c.wire + barrier_answer : c.wire + marker_wire + barrier_answer);

    send_text(s.peer, "PING :x\r\n");
    EXPECT_EQ(read_until(s.peer, "PONG x\r\n"), "PONG x\r\n") << "orv no longer answers";
    std::string console = without_times(read_for(s.orv.output, 200ms));
    if (c.to_terminal)
        console = from_terminal(console);
    EXPECT_EQ(console, c.typed.empty() ? c.console : c.console + marker_console);

    EXPECT_EQ(s.end_input(), "");
    EXPECT_EQ(read_to_end(s.orv.error), "orv: broken pipe\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

const std::string den = ":s #den\n"; // typed first where a default channel is needed

// A line of the given length in all, line end not counted.
std::string line_of(const std::string &start, std::size_t length, char filler = 'x')
{
    return start + std::string(length - start.size(), filler);
}

// The 4095 bytes that fill line_buffer, then more on the same line.
const std::string chat_piece = line_of(":alice!a PRIVMSG #den :", 4095);
const std::string escapes = "\x1b]0;owned\x07\x1b[2J\x1b[31mred\x7f";
const std::string escapes_shown = "^[]0;owned^G^[[2J^[[31mred^?";
const std::string eight_bit = "\xc3\xa9 \xff\xfe \xc0\x80 \xed\xa0\x80 \x9b" "31m";

// 4095 x's typed for #den as orv sends or shows them: nine pieces of 416
// bytes and one of 351 (for alice, 4086 x's in pieces of 415).
std::string x_pieces(const std::string &before, const std::string &after, std::size_t size = 416)
{
    std::string piece = before + std::string(size, 'x') + after, text;
    for (int i = 0; i < 9; ++i)
        text += piece;
    return text + before + std::string(351, 'x') + after;
}

// 2,100 Cyrillic letters (4,200 bytes) typed for #den, as orv sends or
// shows them: the 4095-byte read ends inside a letter, which begins the
// rest of the line.
std::string cyrillic_pieces(const std::string &before, const std::string &after)
{
    std::string text;
    for (int count : {208, 208, 208, 208, 208, 208, 208, 208, 208, 175, 53}) {
        text += before;
        while (count-- > 0)
            text += "\xd0\xb4";
        text += after;
    }
    return text;
}

std::string pings(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "PING :flood\r\n";
    return text;
}

std::string pongs(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "PONG flood\r\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    from_the_server, hostile_test,
    testing::Values(
        hostile_case{"nul_ends_the_text",
                     ":alice!a PRIVMSG #den :before\0after\r\n"s, "", false, "",
                     console_line("#den", "<alice> before")},
        hostile_case{"nul_inside_a_ping_ends_the_answer", "PING :x\0y\r\n"s, "", false,
                     "PONG x\r\n", ""},
        hostile_case{"nul_first_makes_an_empty_line", "\0PING :z\r\n"s, "", false, "", ""},
        hostile_case{"line_of_20000_bytes_shows_its_first_4095",
                     line_of(":alice!a PRIVMSG #den :", 20000) + "\r\n", "", false, "",
                     console_line("#den", line_of("<alice> ", 4095 - 15))},
        hostile_case{"rest_of_a_long_line_is_never_a_line", chat_piece + "PING :evil\r\n", "", false, "",
                     console_line("#den", line_of("<alice> ", 4095 - 15))},
        hostile_case{"rest_of_a_long_line_over_several_pieces", chat_piece + line_of("", 4095) + "PING :evil\r\n",
                     "", false, "", console_line("#den", line_of("<alice> ", 4095 - 15))},
        hostile_case{"long_ping_is_answered_within_the_buffer", line_of("PING :", 20000) + "\r\n", "", false,
                     line_of("PONG ", 4094) + "\r\n", ""},
        hostile_case{"bare_line_feed_ends_a_line", "PING :a\nPING :b\n:alice!a PRIVMSG #den :hi\n", "", false,
                     "PONG a\r\nPONG b\r\n", console_line("#den", "<alice> hi")},
        hostile_case{"bare_carriage_return_ends_the_line_there",
                     ":alice!a PRIVMSG #den :one\r:evil PRIVMSG #den :two\n", "", false, "",
                     console_line("#den", "<alice> one")},
        hostile_case{"carriage_return_cannot_smuggle_a_line_into_a_pong",
                     "PING :x\rQUIT :bye\r\n", "", false, "PONG x\r\n", ""},
        hostile_case{"eight_bit_and_invalid_utf8_pass_unchanged",
                     ":alice!a PRIVMSG #den :" + eight_bit + "\r\nPING :\xff\xfe\r\n", "", false,
                     "PONG \xff\xfe\r\n", console_line("#den", "<alice> " + eight_bit)},
        // A byte 0x80 to 0x9F outside a UTF-8 character is a C1 control to
        // a terminal in an 8-bit mode; one inside (U+0100, U+1D11E) is not.
        hostile_case{"eight_bit_reaches_a_terminal_with_lone_c1_bytes_escaped",
                     ":alice!a PRIVMSG #den :" + eight_bit + " \x90\x9c\xc4\x80\xf0\x9d\x84\x9e\xc2\r\n", "", true, "",
                     console_line("#den", "<alice> \xc3\xa9 \xff\xfe \xc0^[@ \xed\xa0^[@ ^[[31m ^[P^[\\\xc4\x80\xf0\x9d\x84\x9e\xc2")},
        // Under UTF-8, C4 9B is a letter; in an 8-bit locale 9B is CSI.
        hostile_case{"c1_continuation_bytes_pass_under_a_utf8_locale", ":e PRIVMSG #den :\xc4\x9b" "2J\xc4\x9b" "31mRED\r\n",
                     "", true, "", console_line("#den", "<e> \xc4\x9b" "2J\xc4\x9b" "31mRED"), 0ms, "C.UTF-8"},
        hostile_case{"c1_continuation_bytes_escaped_under_an_eight_bit_locale", ":e PRIVMSG #den :\xc4\x9b" "2J\xc4\x9b" "31mRED\r\n",
                     "", true, "", console_line("#den", "<e> \xc4^[[2J\xc4^[[31mRED"), 0ms, eight_bit_locale},
        // A locale not installed is known by its name's character set.
        hostile_case{"c1_continuation_bytes_escaped_under_an_eight_bit_locale_not_installed", ":e PRIVMSG #den :\xc4\x9b" "2J\r\n",
                     "", true, "", console_line("#den", "<e> \xc4^[[2J"), 0ms, "ru_RU.KOI8-R"},
        hostile_case{"c1_continuation_bytes_escaped_under_a_codeset_alone", ":e PRIVMSG #den :\xc4\x9b" "2J\r\n",
                     "", true, "", console_line("#den", "<e> \xc4^[[2J"), 0ms, ".KOI8-R"},
        hostile_case{"prefixes_without_a_command_are_ignored", ":hub\r\n:hub \r\n:\r\n: \r\n:hub!\r\n", "",
                     false, "", ""},
        hostile_case{"empty_commands_show_in_the_generic_form", "\r\n \r\n:hub  :x\r\n", "", false, "",
                     console_line("127.0.0.1", "><  (): ") + console_line("hub", "><  (): x")},
        hostile_case{"flood_of_pings_while_the_peer_does_not_read", pings(100000), "", false, pongs(100000),
                     "", 1s},
        hostile_case{"escape_sequences_shown_in_caret_notation_on_a_terminal",
                     ":evil!e PRIVMSG #den :" + escapes + "\tend\r\n", "", true, "",
                     console_line("#den", "<evil> " + escapes_shown + "\tend")},
        hostile_case{"escape_sequences_in_the_column_and_origin",
                     ":\x1b[31mevil NOTICE bob :hi\r\n:evil PRIVMSG #\x1b[2J :hi\r\n", "", true, "",
                     console_line("^[[31mevil", ">< NOTICE (bob): hi") + console_line("#^[[2J", "<evil> hi")},
        hostile_case{"utf8_c1_controls_shown_in_caret_notation_on_a_terminal",
                     ":evil!e PRIVMSG #den :\xc2\x9b" "2J\xc2\x9d" "0;t\xc2\x9c \xc2\xa0\xc3\xa9\r\n", "", true, "",
                     console_line("#den", "<evil> ^[[2J^[]0;t^[\\ \xc2\xa0\xc3\xa9")},
        hostile_case{"escape_sequences_pass_unchanged_to_a_pipe", ":evil!e PRIVMSG #den :" + escapes + "\r\n",
                     "", false, "", console_line("#den", "<evil> " + escapes)}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    from_the_terminal, hostile_test,
    testing::Values(
        hostile_case{"pasted_long_line_with_a_colon_line_goes_out_as_chat",
                     "", den + line_of("", 4095) + ":QUIT\n", false,
                     x_pieces("PRIVMSG #den :", "\r\n") + "PRIVMSG #den ::QUIT\r\n",
                     x_pieces("#den        : T <bob> ", "\n") + console_line("#den", "<bob> :QUIT")},
        // The rest of a raw line, over two more reads, is dropped, and
        // said so once; the rest of a message goes only to its target.
        hostile_case{"rest_of_a_long_raw_line_is_dropped",
                     "", den + line_of(":", 8190, 'r') + ":j #evil\n", false,
                     line_of("", 4094, 'r') + "\r\n", console_line("", "Rest of a long line dropped")},
        hostile_case{"rest_of_a_long_private_message_goes_to_its_target",
                     "", den + ":m alice " + line_of("", 4086) + "secret\n", false,
                     x_pieces("PRIVMSG alice :", "\r\n", 415) + "PRIVMSG alice :secret\r\n",
                     x_pieces("alice       : T <bob> ", "\n", 415) + console_line("alice", "<bob> secret")},
        hostile_case{"long_typed_line_keeps_its_characters_whole", "",
                     den + cyrillic_pieces("", "") + "\n", false,
                     cyrillic_pieces("PRIVMSG #den :", "\r\n"), cyrillic_pieces("#den        : T <bob> ", "\n")},
        hostile_case{"nul_ends_the_typed_text", "", den + "before\0:QUIT\n"s, false,
                     "PRIVMSG #den :before\r\n", console_line("#den", "<bob> before")},
        hostile_case{"carriage_return_ends_the_typed_line", "", den + "hi\rQUIT\n:JOIN #a\rPART #a\n", false,
                     "PRIVMSG #den :hi\r\nJOIN #a\r\n", console_line("#den", "<bob> hi")},
        hostile_case{"typed_eight_bit_passes_unchanged", "", den + eight_bit + "\n", false,
                     "PRIVMSG #den :" + eight_bit + "\r\n", console_line("#den", "<bob> " + eight_bit)},
        hostile_case{"typed_escape_sequences_echo_in_caret_notation", "", den + escapes + "\n", true,
                     "PRIVMSG #den :" + escapes + "\r\n", console_line("#den", "<bob> " + escapes_shown)}),
    [](const auto &info) { return std::string(info.param.name); });

struct option_case {
    const char *name;
    std::vector<std::string> arguments; // after -h 127.0.0.1 -p PORT
    std::string login;
};

void PrintTo(const option_case &c, std::ostream *out) { *out << c.name; }

class hostile_option_test : public testing::TestWithParam<option_case> {};

TEST_P(hostile_option_test, never_splits_a_login_line)
{
    const option_case &c = GetParam();
    run_options options;
    options.arguments = c.arguments;
    session s(options);
    EXPECT_EQ(s.login + read_for(s.peer, 200ms), c.login);
}

INSTANTIATE_TEST_SUITE_P(
    cases, hostile_option_test,
    testing::Values(option_case{"line_feed_in_the_nick", {"-n", "bob\r\nQUIT"},
                                "NICK bob\r\nUSER bobQUIT localhost 127.0.0.1 :bob\r\n"},
                    option_case{"bare_line_feed_in_the_keyword", {"-k", "pw\nJOIN #x"},
                                "PASS pw\r\nNICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
