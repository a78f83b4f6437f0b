// Start-up as the user meets it: the lines a server receives at login, and
// every way start-up ends, with the exact bytes on standard error.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace orv_test {
namespace {

const std::string usage = "usage: orv [-h host] [-p port] [-n nick] [-k keyword] [-v]\n";

struct login_case {
    const char *name;
    std::vector<std::string> arguments;   // after -h 127.0.0.1 -p PORT
    std::vector<std::string> environment; // TZ=UTC is added
    std::string login;
};

void PrintTo(const login_case &c, std::ostream *out) { *out << c.name; }

class login_test : public testing::TestWithParam<login_case> {};

TEST_P(login_test, sends_the_registration_lines_in_order)
{
    const login_case &c = GetParam();
    run_options options;
    options.arguments = c.arguments;
    options.environment = c.environment;
    options.environment.push_back("TZ=UTC");
    session s(options);
    EXPECT_EQ(s.login, c.login);
    EXPECT_EQ(read_for(s.orv.output, 200ms), "") << "nothing is shown during start-up";
}

const std::string forty = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
const std::string cut = forty.substr(0, 31);
const std::string cyrillic = "абвгдежзийклмноп"; // 16 letters, 32 bytes
const std::string cyrillic_cut = cyrillic.substr(0, 30);

INSTANTIATE_TEST_SUITE_P(
    cases, login_test,
    testing::Values(
        login_case{"nick_from_user", {}, {"USER=bob"},
                   "NICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"},
        login_case{"user_absent_gives_unknown", {}, {},
                   "NICK unknown\r\nUSER unknown localhost 127.0.0.1 :unknown\r\n"},
        login_case{"user_set_but_empty_stays_empty", {}, {"USER="},
                   "NICK \r\nUSER orv localhost 127.0.0.1 :\r\n"},
        login_case{"long_user_cut_to_31", {}, {"USER=" + forty},
                   "NICK " + cut + "\r\nUSER abcdefghi localhost 127.0.0.1 :" + cut + "\r\n"},
        login_case{"n_wins_over_user", {"-n", "carol"}, {"USER=bob"},
                   "NICK carol\r\nUSER carol localhost 127.0.0.1 :carol\r\n"},
        login_case{"long_n_cut_to_31_and_its_user_name_to_9", {"-n" + forty}, {"USER=bob"},
                   "NICK " + cut + "\r\nUSER abcdefghi localhost 127.0.0.1 :" + cut + "\r\n"},
        login_case{"long_n_cut_before_a_split_character", {"-n", cyrillic}, {"USER=bob"},
                   "NICK " + cyrillic_cut + "\r\nUSER orv localhost 127.0.0.1 :" + cyrillic_cut + "\r\n"},
        login_case{"keyword_sends_pass_first", {"-k", "sesame"}, {"USER=bob"},
                   "PASS sesame\r\nNICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"},
        login_case{"empty_keyword_goes_as_an_empty_last_parameter", {"-k", ""}, {"USER=bob"},
                   "PASS :\r\nNICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"},
        login_case{"keyword_with_a_blank_goes_whole", {"-k", "acct:pa ss:word"}, {"USER=bob"},
                   "PASS :acct:pa ss:word\r\nNICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"},
        login_case{"last_of_a_repeated_option_wins", {"-n", "a", "-nz"}, {"USER=bob"},
                   "NICK z\r\nUSER z localhost 127.0.0.1 :z\r\n"},
        login_case{"final_double_hyphen_is_accepted", {"--"}, {"USER=bob"},
                   "NICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n"},
        login_case{"value_may_begin_with_a_hyphen", {"-n", "-v"}, {"USER=bob"},
                   "NICK -v\r\nUSER v localhost 127.0.0.1 :-v\r\n"},
        login_case{"user_name_keeps_letters_and_digits", {"-n", "az[AZ]_09`{@/:"}, {"USER=bob"},
                   "NICK az[AZ]_09`{@/:\r\nUSER azAZ09 localhost 127.0.0.1 :az[AZ]_09`{@/:\r\n"},
        login_case{"user_name_of_no_letters_is_orv", {"-n", "[_]"}, {"USER=bob"},
                   "NICK [_]\r\nUSER orv localhost 127.0.0.1 :[_]\r\n"},
        login_case{"host_beginning_with_a_colon_is_a_star", {"-h", "::ffff:127.0.0.1"}, {"USER=bob"},
                   "NICK bob\r\nUSER bob localhost * :bob\r\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(login, host_given_in_one_argument_or_two_is_the_same)
{
    listener peer;
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"-h127.0.0.1"}, std::vector<std::string>{"-h", "127.0.0.1"},
          std::vector<std::string>{"-hlocalhost", "-h", "-p", "-h127.0.0.1"}}) {
        process orv;
        run_options options;
        options.arguments = arguments;
        options.arguments.push_back("-p" + std::to_string(peer.port));
        start_orv(orv, options);
        int connection = peer.accept_one();
        ASSERT_GE(connection, 0);
        EXPECT_EQ(read_until(connection, "127.0.0.1 :bob\r\n"),
                  "NICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n");
        close(connection);
    }
}

struct exit_case {
    const char *name;
    std::vector<std::string> arguments;
    std::string error; // exact bytes on standard error
    // The same with musl's texts, where the C library gives the reason.
    std::string musl_error = {};
};

void PrintTo(const exit_case &c, std::ostream *out) { *out << c.name; }

class exit_test : public testing::TestWithParam<exit_case> {};

TEST_P(exit_test, ends_with_its_message_and_status_1)
{
    const exit_case &c = GetParam();
    process orv;
    run_options options;
    options.arguments = c.arguments;
    start_orv(orv, options);
    std::string error = read_to_end(orv.error, 10s);
    EXPECT_EQ(orv.wait_for_exit(10s), 1);
    if (c.musl_error.empty() || error != c.musl_error)
        EXPECT_EQ(error, c.error);
    EXPECT_EQ(read_to_end(orv.output), "");
}

std::string repeated(const std::string &text, int times)
{
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

const std::string banner = "orv-1.3, a minimal IRC client for the terminal\n";
const int closed_port = free_port();
std::string refused(int port) { return "error: cannot connect to host '127.0.0.1' port " + std::to_string(port) + ": Connection refused\n"; }
// A port refused: a service unknown, or one the resolver would read as a
// number but not plain digits from 1 to 65535.
exit_case bad_port(const char *name, const std::string &port)
{
    std::string error = "error: cannot resolve port '" + port + "': ";
    return {name, {"-h", "127.0.0.1", "-p", port}, error + "Servname not supported for ai_socktype\n", error + "Unrecognized service\n"};
}

INSTANTIATE_TEST_SUITE_P(
    cases, exit_test,
    testing::Values(
        exit_case{"version", {"-v"}, banner},
        exit_case{"version_ignores_the_rest_of_its_argument", {"-vh"}, banner},
        exit_case{"version_after_valid_options", {"-n", "x", "-v", "-x"}, banner},
        exit_case{"unknown_option", {"-x"}, usage},
        exit_case{"upper_case_option", {"-H", "host"}, usage},
        exit_case{"bad_option_before_version", {"-q", "-v"}, usage},
        exit_case{"missing_host_value", {"-h"}, usage},
        exit_case{"missing_value_after_valid_options", {"-n", "bob", "-k"}, usage},
        // No operand is taken: a host named without -h is never swapped for
        // the default server, nor a keyword sent there.
        exit_case{"operand_is_refused", {"irc.example.net"}, usage},
        exit_case{"operand_after_options_is_refused", {"-k", "secret", "irc.example.net"}, usage},
        exit_case{"lone_hyphen_is_refused", {"-n", "x", "-"}, usage},
        exit_case{"empty_operand_is_refused", {""}, usage},
        exit_case{"anything_after_a_double_hyphen_is_refused", {"--", "-v"}, usage},
        exit_case{"refused_connection", {"-h", "127.0.0.1", "-p", std::to_string(closed_port)}, refused(closed_port)},
        // An empty label fails in the resolver itself, with no query sent.
        exit_case{"unresolvable_host",
                  {"-h", "no..such.host", "-p", "6667"},
                  "error: cannot resolve hostname 'no..such.host': Name or service not known\n",
                  "error: cannot resolve hostname 'no..such.host': Name does not resolve\n"},
        // A long value is cut after a whole character, and control bytes
        // are escaped: the reason and the line end stay. An empty label or
        // one over 63 bytes fails with no query sent.
        exit_case{"long_host_cut_before_its_reason", {"-h", "x" + repeated("ж", 2500), "-p", "6667"},
                  "error: cannot resolve hostname 'x" + repeated("ж", 125) + "...': Name or service not known\n",
                  "error: cannot resolve hostname 'x" + repeated("ж", 125) + "...': Name does not resolve\n"},
        exit_case{"escapes_in_the_host_shown_escaped", {"-h", "evil\x1b]0;pwned\a\x1b[2J..example.net", "-p", "6667"},
                  "error: cannot resolve hostname 'evil^[]0;pwned^G^[[2J..example.net': Name or service not known\n",
                  "error: cannot resolve hostname 'evil^[]0;pwned^G^[[2J..example.net': Name does not resolve\n"},
        bad_port("unknown_service", "abc"),
        // A resolver that keeps the low 16 bits would connect to port 0.
        bad_port("port_above_65535", "65536"),
        bad_port("port_with_a_sign", "+112203"),
        bad_port("port_after_a_blank", " 6667"),
        bad_port("port_0", "0"),
        bad_port("empty_port", ""),
        exit_case{"port_65535_is_tried", {"-h", "127.0.0.1", "-p", "65535"}, refused(65535)},
        exit_case{"port_1_is_tried", {"-h", "127.0.0.1", "-p", "1"}, refused(1)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(connection, tries_every_address_in_order)
{
    // localhost resolves to ::1 and 127.0.0.1; only the IPv4 one listens.
    listener peer;
    process orv;
    run_options options;
    options.arguments = {"-h", "localhost", "-p", std::to_string(peer.port)};
    start_orv(orv, options);
    int connection = peer.accept_one();
    ASSERT_GE(connection, 0) << "orv did not go on to the next address";
    EXPECT_EQ(read_until(connection, "localhost :bob\r\n"),
              "NICK bob\r\nUSER bob localhost localhost :bob\r\n");
    close(connection);
}

// A closed standard stream is opened on /dev/null before anything else, so
// the connection never takes its number.
TEST(connection, closed_standard_stream_never_becomes_the_connection)
{
    for (std::string closing : {"<&-", ">&-", "2>&-"}) {
        SCOPED_TRACE(closing);
        run_options options;
        options.wrapper = {"sh", "-c", "exec \"$0\" \"$@\" " + closing}; // closed before orv starts
        options.welcomed = false;
        session s(options);
        EXPECT_EQ(s.login, "NICK bob\r\nUSER bob localhost 127.0.0.1 :bob\r\n");
        send_text(s.peer, ":hub 001 bob :Welcome\r\n"); // a closed input then ends orv at once
        EXPECT_EQ(read_for(s.peer, 300ms), "") << "the console line went to the server";
        EXPECT_EQ(s.end_input(), "") << "the error line went to the server";
        EXPECT_EQ(read_to_end(s.orv.error), closing == "2>&-" ? "" : "orv: broken pipe\n");
        EXPECT_EQ(s.orv.wait_for_exit(), 1);
    }
}

} // namespace
} // namespace orv_test
