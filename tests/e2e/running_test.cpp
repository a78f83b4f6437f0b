// The running client as the user meets it: keep-alive timing (under
// libfaketime, which speeds up the clock and the wait alike), lines that
// arrive together, the order of the two sources, and the ways it ends.
#include "e2e/harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <ctime>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace orv_test {
namespace {

// One real second is five minutes of orv's time: a 120-second wait takes
// 0.4 s, the 300 seconds of silence or of a stalled send one.
const std::string speed = "x300";
const std::string sped_up = "+0 " + speed;
const std::string ping = "PING 127.0.0.1\r\n";
const std::string timeout_message = "orv shutting down: parse timeout\n";
const std::string welcome = ":hub 001 bob :Welcome\r\n";

struct keep_alive_case {
    const char *name;
    std::string first_words;  // what the server sends right after login
    bool answer_pings;        // the server answers each ping
    int typed_lines;          // typed one every 100 ms (30 s of orv's), from the start
    std::string wire;         // what the server receives after login
    std::string error;        // standard error; empty: still running
    // Seconds the time of day jumps by once the first words and ":s" are
    // in; the monotonic clock then runs at the real pace, the waits still
    // as fast as the others.
    int clock_step = 0;
    bool many_descriptors = false; // started with descriptors past 1024 open
};

void PrintTo(const keep_alive_case &c, std::ostream *out) { *out << c.name; }

class keep_alive_test : public testing::TestWithParam<keep_alive_case> {};

TEST_P(keep_alive_test, pings_when_idle_and_gives_up_on_a_silent_server)
{
    const keep_alive_case &c = GetParam();
    run_options options;
    options.clock = sped_up;
    temporary_directory directory;
    const std::string clock_file = directory.path + "/clock";
    if (c.clock_step != 0) {
        write_file(clock_file, "+0 " + speed);
        options.environment.insert(options.environment.end(), {"FAKETIME_TIMESTAMP_FILE=" + clock_file,
                                                               "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"});
        options.wrapper.insert(options.wrapper.end(), {"env", "-u", "FAKETIME"}); // the clock file rules instead
    }
    if (c.many_descriptors)
        options.wrapper.insert(options.wrapper.begin(),
                               {"bash", "-c", "ulimit -n 4096 && for ((d = 3; d < 1100; d++)); do eval \"exec $d</dev/null\"; done; exec \"$@\"", "-"});
    options.welcomed = false;
    session s(options);
    send_text(s.peer, c.first_words);
    send_text(s.orv.input, ":s #den\n");
    if (c.clock_step != 0) {
        std::this_thread::sleep_for(100ms);
        write_file(clock_file, (c.clock_step > 0 ? "+" : "") + std::to_string(c.clock_step) + " " + speed);
    }
    std::string wire;
    for (int i = 0; i < c.typed_lines; ++i) {
        send_text(s.orv.input, "tick\n");
        wire += read_for(s.peer, 100ms);
    }
    // Until all that is expected has come, or orv has ended: on a busy
    // machine a wait may end late, which only shifts what follows.
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         wire.size() < c.wire.size() && std::chrono::steady_clock::now() < deadline;) {
        std::string got = read_for(s.peer, 100ms);
        wire += got;
        if (c.answer_pings && got.find("PING ") != std::string::npos)
            send_text(s.peer, ":hub PONG hub :127.0.0.1\r\n");
    }
    if (c.error.empty()) {
        EXPECT_EQ(wire, c.wire);
        EXPECT_EQ(read_for(s.orv.error, 100ms), "");
        EXPECT_EQ(s.end_input(), "");
        EXPECT_EQ(read_to_end(s.orv.error), "orv: broken pipe\n");
    } else {
        EXPECT_EQ(wire + read_to_end(s.peer, 20s), c.wire);
        EXPECT_EQ(read_to_end(s.orv.error, 1s), c.error);
    }
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

std::string ticks(int count)
{
    std::string wire;
    for (int i = 0; i < count; ++i)
        wire += "PRIVMSG #den :tick\r\n";
    return wire;
}

INSTANTIATE_TEST_SUITE_P(
    cases, keep_alive_test,
    testing::Values(
        keep_alive_case{"silent_server_pinged_twice_then_left", welcome, false, 0, ping + ping, timeout_message},
        keep_alive_case{"no_server_line_ever_ends_at_the_first_expiry", "", false, 0, "", timeout_message},
        keep_alive_case{"answered_pings_keep_it_alive", welcome, true, 0, ping + ping + ping, ""},
        // A link that stalls inside a line is as silent as one between lines.
        keep_alive_case{"line_stalled_midway_pinged_twice_then_left", welcome + ":hub 002 bob :Yo", false, 0,
                        ping + ping, timeout_message},
        // Before the welcome a ping would only draw "not registered".
        keep_alive_case{"no_ping_before_the_welcome", "NOTICE * :hold on\r\n", true, 0, "", timeout_message},
        // Typing keeps the wait from expiring, so no ping goes out; the
        // first expiry after it finds the server silent for too long.
        keep_alive_case{"typing_holds_off_pings", welcome, false, 12, ticks(12), timeout_message},
        // Setting the clock moves neither the silence count nor the pace.
        keep_alive_case{"clock_set_forward_still_pings_first", welcome, true, 0, ping + ping + ping, "", 200},
        keep_alive_case{"clock_set_back_lets_typing_go_on", welcome, true, 2, ticks(2) + ping + ping + ping, "", -3600},
        keep_alive_case{"descriptors_past_1024_answered_as_usual", welcome + "PING :t\r\n", true, 0,
                        "PONG t\r\n" + ping + ping + ping, "", 0, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Typed lines leave on the flood-control clock servers keep: five at once,
// then one every two seconds from the first, while the server is still
// served and the short waits send no ping. A line that sends nothing (:s)
// costs nothing. orv's clock runs twice as fast; a line may leave late on a
// busy machine, never early.
TEST(running, pasted_lines_leave_five_at_once_then_one_every_two_seconds)
{
    using clock = std::chrono::steady_clock;
    constexpr double speed = 2;
    run_options options;
    options.environment.push_back("FAKETIME_FMT=%s");
    options.clock = "@1709647620 x2";
    session s(options);
    std::string paste = ":s #den\n";
    for (int i = 1; i <= 9; ++i)
        paste += "line " + std::to_string(i) + "\n";
    auto pasted = clock::now();
    send_text(s.orv.input, paste);
    std::string wire = read_until(s.peer, ":line 5\r\n", 1s);
    EXPECT_EQ(wire, "PRIVMSG #den :line 1\r\nPRIVMSG #den :line 2\r\nPRIVMSG #den :line 3\r\n"
                    "PRIVMSG #den :line 4\r\nPRIVMSG #den :line 5\r\n");
    send_text(s.peer, "PING :served\r\n");
    for (int i = 6; i <= 9; ++i) {
        std::string line = "PRIVMSG #den :line " + std::to_string(i) + "\r\n";
        std::string got = read_until(s.peer, line, 5s);
        double left = std::chrono::duration<double>(clock::now() - pasted).count() * speed, slot = 2 * (i - 5);
        EXPECT_TRUE(got.ends_with(line)) << got;
        EXPECT_TRUE(left > slot - 0.05 && left < slot + 0.75)
            << "line " << i << " left " << left << " s after the paste, not " << slot << " s";
        wire += got;
    }
    EXPECT_NE(wire.find("PONG served\r\n"), std::string::npos);
    EXPECT_LT(wire.find("PONG served\r\n"), wire.find(":line 7\r\n")) << "the server waited for the paste";
    EXPECT_EQ(wire.find("PING"), std::string::npos) << "a pacing wait was taken for silence";
}

// What a terminal hands over: a line a read in canonical mode, a line
// ended by Ctrl-D included, or all that was typed while the shell held it
// raw (ICRNL off); keys as they come in raw mode (min 0).
struct terminal_input_case {
    const char *name;
    std::string typed_ahead; // typed raw before orv reads
    bool canonical;          // the mode orv reads in
    std::vector<std::string> typed; // then typed in these bursts
    std::string wire;
    std::string hang_up_after = {}; // the terminal hangs up once this is sent
};

void PrintTo(const terminal_input_case &c, std::ostream *out) { *out << c.name; }

class terminal_input_test : public testing::TestWithParam<terminal_input_case> {};

TEST_P(terminal_input_test, every_line_goes_whole_and_in_order)
{
    const terminal_input_case &c = GetParam();
    run_options options;
    options.input_from_terminal = true;
    options.welcomed = false; // orv reads nothing before the welcome
    options.clock = "+0 x4";
    session s(options);
    termios mode, raw;
    ASSERT_EQ(tcgetattr(s.orv.input, &mode), 0);
    cfmakeraw(&(raw = mode));
    tcsetattr(s.orv.input, TCSANOW, &raw);
    send_text(s.orv.input, c.typed_ahead);
    int terminal = open(ptsname(s.orv.input), O_RDONLY | O_NOCTTY | O_CLOEXEC), queued = -1;
    for (auto deadline = std::chrono::steady_clock::now() + patience;
         queued != static_cast<int>(c.typed_ahead.size()) && std::chrono::steady_clock::now() < deadline;)
        ioctl(terminal, FIONREAD, &queued);
    close(terminal);
    if (!c.canonical) {
        mode.c_lflag &= ~ICANON;
        mode.c_iflag &= ~ICRNL;
        mode.c_cc[VMIN] = mode.c_cc[VTIME] = 0;
    }
    tcsetattr(s.orv.input, TCSANOW, &mode);
    send_text(s.peer, welcome);
    for (const std::string &burst : c.typed) {
        std::this_thread::sleep_for(200ms);
        send_text(s.orv.input, burst);
    }
    if (!c.hang_up_after.empty()) {
        EXPECT_EQ(read_until(s.peer, c.hang_up_after), c.hang_up_after);
        s.orv.close_input();
    }
    EXPECT_EQ(read_until(s.peer, c.wire, 2 * patience), c.wire); // 4 s of pacing on a static orv's real clock
    c.canonical ? send_text(s.orv.input, "\x04") : s.orv.close_input(); // Ctrl-D on an empty line, or a hang-up
    EXPECT_EQ(read_to_end(s.peer), "");
    close(std::exchange(s.peer, -1));
    EXPECT_EQ(read_to_end(s.orv.error), "orv: broken pipe\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    cases, terminal_input_test,
    testing::Values(terminal_input_case{"ctrl_d_inside_a_line_sends_it_at_once", "", true, {":s #den\nabc\x04"},
                                        "PRIVMSG #den :abc\r\n"},
                    terminal_input_case{"lines_typed_ahead_all_go", ":s #den\rone\rtwo\nthree\r\nfo", true,
                                        {"ur\n"}, "PRIVMSG #den :one\r\nPRIVMSG #den :two\r\n"
                                                   "PRIVMSG #den :three\r\nPRIVMSG #den :four\r\n"},
                    terminal_input_case{"raw_keys_wait_for_a_line_end", "", false, {":s #den\nhel", "lo\r", "x\n"},
                                        "PRIVMSG #den :hello\r\nPRIVMSG #den :x\r\n"},
                    terminal_input_case{"cr_lf_split_across_reads_ends_one_line", "", false, {":s #den\r", "a\r", "\nb\r\n"},
                                        "PRIVMSG #den :a\r\nPRIVMSG #den :b\r\n"},
                    terminal_input_case{"lines_waiting_still_go_after_a_hang_up", ":s #den\r", false, {"1\r2\r3\r4\r5\r6\r7\r"},
                                        "PRIVMSG #den :6\r\nPRIVMSG #den :7\r\n",
                                        "PRIVMSG #den :1\r\nPRIVMSG #den :2\r\nPRIVMSG #den :3\r\nPRIVMSG #den :4\r\nPRIVMSG #den :5\r\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(running, lines_arriving_together_are_all_handled_at_once)
{
    session s;
    send_text(s.peer, "PING :a\r\n:a!b PRIVMSG bob :one\r\nPING :b\r\n:a!b PRIVMSG bob :two\r\nPING :c\r\n");
    EXPECT_EQ(read_until(s.peer, "PONG c\r\n", 1s), "PONG a\r\nPONG b\r\nPONG c\r\n");
    EXPECT_EQ(without_times(read_until(s.orv.output, "two\n", 1s)),
              console_line("bob", "<a> one") + console_line("bob", "<a> two"));
}

// The login leaves corked, in one segment; uncorked again, each answer
// leaves at once rather than at the system's ceiling on a cork (200 ms).
TEST(running, login_leaves_in_one_segment_and_answers_at_once)
{
    session s;
    tcp_info info{};
    socklen_t size = sizeof info;
    ASSERT_EQ(getsockopt(s.peer, IPPROTO_TCP, TCP_INFO, &info, &size), 0);
    EXPECT_EQ(info.tcpi_data_segs_in, 1u);
    auto fastest = std::chrono::steady_clock::duration::max();
    for (std::string word : {"a", "b", "c", "d", "e"}) {
        auto sent = std::chrono::steady_clock::now();
        send_text(s.peer, "PING :" + word + "\r\n");
        EXPECT_EQ(read_until(s.peer, "\r\n", 1s), "PONG " + word + "\r\n");
        fastest = std::min(fastest, std::chrono::steady_clock::now() - sent);
    }
    EXPECT_LT(fastest, 100ms);
}

TEST(running, line_split_across_segments_is_one_line)
{
    session s;
    send_text(s.peer, "PING :sp");
    EXPECT_EQ(read_for(s.peer, 200ms), "");
    send_text(s.peer, "lit\r\n");
    EXPECT_EQ(read_until(s.peer, "\r\n", 1s), "PONG split\r\n");
}

TEST(running, server_line_is_handled_before_the_typed_line)
{
    session s;
    send_text(s.orv.input, ":s #den\n");
    usleep(100000);
    // Stopped, orv finds both ready at once when it goes on.
    kill(s.orv.pid, SIGSTOP);
    // Not before orv has stopped: a select woken by the signal looks at its
    // descriptors once more, and would find the typed line alone.
    int status = 0;
    for (auto deadline = std::chrono::steady_clock::now() + patience;
         waitpid(s.orv.pid, &status, WNOHANG | WUNTRACED) == 0 && std::chrono::steady_clock::now() < deadline;)
        usleep(1000);
    ASSERT_TRUE(WIFSTOPPED(status)) << "orv did not stop";
    send_text(s.orv.input, "hello\n");
    send_text(s.peer, "PING :first\r\n");
    usleep(100000);
    kill(s.orv.pid, SIGCONT);
    EXPECT_EQ(read_until(s.peer, "hello\r\n", 1s), "PONG first\r\nPRIVMSG #den :hello\r\n");
}

// The input ends as a pipe closes or a terminal hangs up, or its reads fail
// while it looks ready: each ends orv, none makes it spin.
TEST(running, end_of_input_ends_the_client_while_the_server_is_healthy)
{
    for (auto [terminal, unreadable] : {std::pair{false, false}, {true, false}, {true, true}, {false, true}}) {
        SCOPED_TRACE(std::string(terminal ? "terminal" : "pipe") + (unreadable ? " failing its reads" : " ended"));
        run_options options;
        options.input_from_terminal = terminal;
        options.unreadable_input = unreadable;
        session s(options);
        if (unreadable && terminal)
            send_text(s.orv.input, "hello\n");
        EXPECT_EQ(s.end_input(), "") << "nothing more is sent";
        EXPECT_EQ(read_to_end(s.orv.error), "orv: broken pipe\n");
        EXPECT_EQ(s.orv.wait_for_exit(), 1);
    }
}

// Piped lines and the end of the input reach a server that is still
// sending: orv shuts the connection down for writing and shows what comes
// until the server closes, rather than reset it with lines unread.
TEST(running, end_of_input_delivers_every_line_sent)
{
    session s;
    send_text(s.orv.input, ":j #t\nhello N\n:QUIT :bye N\n");
    s.orv.close_input();
    std::string wire = read_until(s.peer, "JOIN #t\r\n");
    std::thread flood([&] { send_text(s.peer, std::string(60000, 'x') + "\r\n"); }); // unread when orv would end
    char chunk[4096];
    for (ssize_t got; (got = recv(s.peer, chunk, sizeof chunk, 0)) != 0;) {
        ASSERT_GT(got, 0) << "the connection was reset: " << std::strerror(errno);
        wire.append(chunk, static_cast<std::size_t>(got));
    }
    flood.join();
    EXPECT_EQ(wire, "JOIN #t\r\nPRIVMSG #t :hello N\r\nQUIT :bye N\r\n");
    send_text(s.peer, "ERROR :Closing link\r\n");
    close(s.peer);
    s.peer = -1;
    EXPECT_TRUE(read_to_end(s.orv.output).ends_with("ERROR (): Closing link\n"));
    EXPECT_EQ(read_to_end(s.orv.error), "orv: broken pipe\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

// Typing waits for the welcome alone, and a nickname in use gets another;
// pings are answered meanwhile. On an input left non-blocking, a line that
// has partly come is neither the end of the line nor of input.
TEST(running, typed_lines_wait_for_the_welcome)
{
    for (auto [reply, answer] : {std::pair{":srv 439 * :Please wait while we process your connection.\r\n", ""},
                                 {"NOTICE AUTH :*** Looking up your hostname\r\n", ""},
                                 {":hub 451 * :Connection not registered\r\n", ""},
                                 {":hub 433 * bob :Nickname is already in use\r\n", "NICK bob_\r\n"},
                                 {":hub 433 * bob :x\r\n:hub 432 * bob_ :Nickname too long\r\n", "NICK bob_\r\nNICK bo_\r\n"}}) {
        SCOPED_TRACE(reply);
        run_options options;
        options.welcomed = false;
        options.nonblocking_input = true;
        session s(options);
        send_text(s.orv.input, ":j #t\nhel");
        send_text(s.peer, std::string("PING :early\r\n") + reply);
        EXPECT_EQ(read_for(s.peer, 1s), std::string("PONG early\r\n") + answer);
        send_text(s.orv.input, "lo\n");
        EXPECT_EQ(read_for(s.peer, 300ms), "");
        send_text(s.peer, std::string(":hub 001 ") + (*answer ? "bob_" : "bob") + " :Welcome\r\n");
        EXPECT_EQ(read_until(s.peer, "hello\r\n"), "JOIN #t\r\nPRIVMSG #t :hello\r\n");
    }
}

// A script that writes half a line and the rest later does not hold up the
// server meanwhile.
TEST(running, half_written_piped_line_leaves_the_server_served)
{
    session s;
    send_text(s.orv.input, ":s #den\nhel");
    send_text(s.peer, "PING :meanwhile\r\n");
    EXPECT_EQ(read_until(s.peer, "meanwhile\r\n"), "PONG meanwhile\r\n");
    send_text(s.orv.input, "lo\n");
    EXPECT_EQ(read_until(s.peer, "hello\r\n"), "PRIVMSG #den :hello\r\n");
}

// A refusal a person must answer lets typing begin at a terminal, but only
// a raw line is sent before the welcome.
TEST(running, terminal_after_a_refusal_sends_raw_lines_only)
{
    run_options options;
    options.welcomed = false;
    options.input_from_terminal = true;
    session s(options);
    send_text(s.orv.input, "hello\n:NICK bob2\n");
    send_text(s.peer, ":hub 432 * bob :Erroneous\r\n");
    EXPECT_EQ(read_until(s.peer, "bob2\r\n"), "NICK bob2\r\n");
    EXPECT_EQ(without_times(read_until(s.orv.output, "yet\n")), console_line("hub", ">< 432 (* bob): Erroneous") +
                                                                   console_line("", "Not sent: not registered yet"));
}

// From a pipe, a registration no welcome can follow sends none of the
// input, and orv says so: once the server closes, or five seconds after
// the refusal (on a sped-up clock).
TEST(running, refused_registration_sends_nothing_piped)
{
    const std::string in_use = ":hub 433 * bob :x\r\n:hub 433 * bob_ :x\r\n:hub 433 * bob__ :x\r\n:hub 433 * bob___ :x\r\n";
    for (auto [reply, wire, closes] : {std::tuple<std::string, std::string, bool>{":hub 432 * b :Erroneous\r\n", "", true},
                                       {in_use, "NICK bob_\r\nNICK bob__\r\nNICK bob___\r\n", true},
                                       {"NOTICE * :closing\r\n", "", true},
                                       {":hub 464 * :Password incorrect\r\n", "", false}}) {
        SCOPED_TRACE(reply);
        run_options options;
        options.welcomed = false;
        if (!closes)
            options.clock = sped_up; // a static orv keeps the real clock
        session s(options);
        send_text(s.orv.input, ":j #t\ndeploy done\n:QUIT :bye\n");
        s.orv.close_input();
        send_text(s.peer, reply);
        EXPECT_EQ(closes ? read_until(s.peer, wire) : read_to_end(s.peer, 20s), wire);
        close(s.peer);
        s.peer = -1;
        EXPECT_EQ(read_to_end(s.orv.error), "orv: not registered; the input was not sent\n");
        EXPECT_EQ(s.orv.wait_for_exit(), 1);
    }
}

// After the end of input, the server's last lines are awaited for five
// seconds in all, however a line stalls, then orv ends though the server
// never closes: on a clock ten times as fast, and on the real one for the
// static binaries.
class closing_wait_test : public testing::TestWithParam<std::pair<int, const char *>> {};

TEST_P(closing_wait_test, ends_five_seconds_after_the_input_when_the_server_stays)
{
    const auto [speed, stalled] = GetParam();
    run_options options;
    if (speed > 1)
        options.clock = "+0 x" + std::to_string(speed);
    session s(options);
    auto ended = std::chrono::steady_clock::now();
    s.orv.close_input();
    EXPECT_EQ(read_to_end(s.peer), "");
    send_text(s.peer, stalled);
    EXPECT_EQ(read_to_end(s.orv.error, 30s), "orv: broken pipe\n");
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - ended).count() * speed;
    EXPECT_TRUE(waited > 4.95 && waited < 7.5) << "orv ended " << waited << " s after its input";
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

INSTANTIATE_TEST_SUITE_P(clocks, closing_wait_test,
                         testing::Values(std::pair{1, ""}, std::pair{10, ""}, std::pair{10, ":hub NOTICE bob :half"}),
                         [](const auto &info) {
                             return std::string(info.param.first == 1 ? "real" : *info.param.second ? "sped_up_stalled_line" : "sped_up");
                         });

// A server that floods and stops reading: once orv's sends have made no
// progress for 300 seconds (one, on the sped-up clock), it ends.
TEST(running, server_that_stops_reading_ends_the_client)
{
    run_options options;
    options.clock = sped_up;
    session s(options);
    std::thread flood([&] {
        for (std::string ping = "PING :" + std::string(400, 'p') + "\r\n";
             send(s.peer, ping.data(), ping.size(), 0) > 0;) { // SIGPIPE is ignored here
        }
    });
    EXPECT_EQ(read_to_end(s.orv.error, 60s), "orv shutting down: send timeout\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
    shutdown(s.peer, SHUT_RDWR);
    flood.join();
}

// A wait that fails ends orv with its message, never a spin: poll refuses
// two descriptors once the limit on open files is one.
TEST(running, failed_wait_ends_the_client_with_its_message)
{
    run_options options;
    options.environment.push_back("ASAN_OPTIONS=detect_leaks=0"); // the leak check opens files
    session s(options);
    ASSERT_EQ(run_program({"prlimit", "--pid", std::to_string(s.orv.pid), "--nofile=1:1"}), 0);
    send_text(s.peer, "PING :wake\r\n"); // for an orv already waiting
    EXPECT_EQ(read_to_end(s.orv.error), "orv: error on select(): Invalid argument\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
}

// When the program reading orv's output goes away (orv ... | head), orv
// ends by SIGPIPE, as filters do: what guards its sends leaves that alone.
TEST(running, reader_of_the_output_gone_ends_the_client_by_sigpipe)
{
    session s;
    close(s.orv.output);
    s.orv.output = -1;
    send_text(s.peer, ":alice!a PRIVMSG #den :hi\r\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 128 + SIGPIPE);
}

TEST(running, server_closing_ends_the_client)
{
    run_options options;
    options.welcomed = false;
    session s(options);
    send_text(s.peer, ":hub 001 bob :Welcome\r\n");
    close(s.peer);
    s.peer = -1;
    EXPECT_EQ(read_to_end(s.orv.error), "orv: remote host closed connection\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1);
    EXPECT_EQ(without_times(read_to_end(s.orv.output)), console_line("hub", ">< 001 (bob): Welcome"));
}

TEST(running, writing_to_a_dropped_connection_ends_with_the_message_not_a_signal)
{
    session s;
    // orv answers the pings after the peer has gone: its writes fail, and
    // the end shows up at the next read.
    std::string pings;
    for (int i = 0; i < 200; ++i)
        pings += "PING :" + std::to_string(i) + "\r\n";
    send_text(s.peer, pings);
    close(s.peer);
    s.peer = -1;
    EXPECT_EQ(read_to_end(s.orv.error), "orv: remote host closed connection\n");
    EXPECT_EQ(s.orv.wait_for_exit(), 1) << "128 + 13 is death by SIGPIPE";
}

TEST(running, console_lines_survive_a_full_nonblocking_output)
{
    run_options options;
    options.nonblocking_output = true;
    session s(options);
    std::string lines, shown;
    for (int i = 0; i < 20000; ++i) {
        lines += ":a!b PRIVMSG #den :line " + std::to_string(i) + "\r\n";
        shown += console_line("#den", "<a> line " + std::to_string(i));
    }
    send_text(s.peer, lines);
    usleep(300000); // the pipe fills while nobody reads it
    EXPECT_EQ(without_times(read_until(s.orv.output, "line 19999\n", 10s)), shown);
}

struct time_zone_case {
    const char *name;
    const char *zone;
    std::string console;
    const char *clock = "@1709647620", *clock_format = "%s"; // for libfaketime
};

void PrintTo(const time_zone_case &c, std::ostream *out) { *out << c.name; }

class time_zone_test : public testing::TestWithParam<time_zone_case> {};

TEST_P(time_zone_test, timestamp_is_local_time_to_the_minute)
{
    const time_zone_case &c = GetParam();
    run_options options;
    options.environment = {"USER=bob", std::string("TZ=") + c.zone, std::string("FAKETIME_FMT=") + c.clock_format};
    options.clock = c.clock; // 2024-03-05 14:07:00 UTC unless the row says
    session s(options);
    send_text(s.peer, ":alice!a PRIVMSG #den :hi\r\n");
    EXPECT_EQ(read_until(s.orv.output, "hi\n", 2s), c.console);
}

// The console line for the message at that time, as this process's C library
// reads the zone.
std::string console_in_zone(std::time_t at, const char *zone)
{
    const char *own = getenv("TZ");
    std::string kept = own != nullptr ? own : "";
    setenv("TZ", zone, 1);
    tzset();
    std::tm local{};
    localtime_r(&at, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %R", &local);
    own != nullptr ? setenv("TZ", kept.c_str(), 1) : unsetenv("TZ");
    tzset();
    return std::string("#den        : ") + text + " <alice> hi\n";
}

// On the real clock, so that it runs against the static binaries too, whose
// C library (musl) reads zones by itself.
TEST_P(time_zone_test, timestamp_on_the_real_clock_reads_the_zone_as_glibc_does)
{
    const time_zone_case &c = GetParam();
    run_options options;
    options.environment = {"USER=bob", std::string("TZ=") + c.zone};
    session s(options);
    std::time_t before = std::time(nullptr);
    send_text(s.peer, ":alice!a PRIVMSG #den :hi\r\n");
    std::string shown = read_until(s.orv.output, "hi\n", 2s);
    std::time_t after = std::time(nullptr);
    EXPECT_THAT(shown, testing::AnyOf(console_in_zone(before, c.zone), console_in_zone(after, c.zone)));
}

INSTANTIATE_TEST_SUITE_P(
    cases, time_zone_test,
    testing::Values(time_zone_case{"utc", "UTC", "#den        : 2024-03-05 14:07 <alice> hi\n"},
                    time_zone_case{"half_hour_east", "Asia/Kolkata", "#den        : 2024-03-05 19:37 <alice> hi\n"},
                    time_zone_case{"west_across_midnight", "America/Los_Angeles",
                                   "#den        : 2024-03-05 06:07 <alice> hi\n"},
                    // A daylight saving name without dates takes the United
                    // States' dates, which begin on 10 March in 2024.
                    time_zone_case{"rule_without_dates_west", "EST5EDT", "#den        : 2024-03-05 09:07 <alice> hi\n"},
                    time_zone_case{"rule_without_dates_east", "CET-1CEST", "#den        : 2024-03-05 15:07 <alice> hi\n"},
                    time_zone_case{"rule_without_dates_further_east", "EET-2EEST",
                                   "#den        : 2024-03-05 16:07 <alice> hi\n"},
                    time_zone_case{"rule_without_dates_quoted_names", "<+03>-3<+04>",
                                   "#den        : 2024-03-05 17:07 <alice> hi\n"},
                    // Time -119 to -60: the minute -1 once stood for none shown.
                    time_zone_case{"minute_before_1970", "UTC", "#den        : 1969-12-31 23:58 <alice> hi\n",
                                   "@1969-12-31 23:58:30", "%Y-%m-%d %T"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
