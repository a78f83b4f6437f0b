// orv as a person sees it: running in a real terminal (a tmux pane of a
// fixed size) against a real ngIRCd, typed to with tmux send-keys and read
// off the screen with tmux capture-pane.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <string>
#include <thread>

namespace orv_test {
namespace {

class terminal : public testing::Test {
protected:
    temporary_directory directory;
    daemon_process server;
    int port = free_port();
    // A private tmux server, so that nobody else's sessions are touched; its
    // socket lives in the test's directory and goes with it.
    std::string socket_path = directory.path + "/tmux";

    void SetUp() override { start_irc_server(server, "ngircd", directory.path, port); }

    void TearDown() override
    {
        run_program({"tmux", "-S", socket_path, "kill-server"});
        server.stop();
    }

    int tmux(std::vector<std::string> arguments, std::string *output = nullptr)
    {
        arguments.insert(arguments.begin(), {"tmux", "-S", socket_path});
        return run_program(arguments, output);
    }

    // The screen, wrapped lines joined, with the timestamps as "T".
    std::string screen()
    {
        std::string text;
        tmux({"capture-pane", "-p", "-J", "-t", "orv"}, &text);
        return text;
    }

    // Waits until the screen holds this whole line; returns the screen.
    std::string wait_for_line(const std::string &line, duration timeout = patience)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string shown;
        for (;;) {
            shown = screen();
            if (("\n" + without_times(shown)).find("\n" + line) != std::string::npos ||
                std::chrono::steady_clock::now() > deadline)
                return shown;
            std::this_thread::sleep_for(50ms);
        }
    }

    void expect_line(const std::string &line, const char *step)
    {
        std::string shown = wait_for_line(line);
        EXPECT_NE(("\n" + without_times(shown)).find("\n" + line), std::string::npos)
            << step << ": the screen does not show\n"
            << line << "it shows:\n"
            << shown;
    }

    void type(const std::string &text)
    {
        tmux({"send-keys", "-t", "orv", "-l", text});
        tmux({"send-keys", "-t", "orv", "Enter"});
    }

    // Presses keys by their tmux names: Left, Up, Enter...
    void press(std::vector<std::string> keys)
    {
        keys.insert(keys.begin(), {"send-keys", "-t", "orv"});
        tmux(keys);
    }
};

TEST_F(terminal, shows_the_conversation_in_columns_with_timestamps)
{
    std::string command = "exec env TZ=UTC USER=alice " + orv_command_line() + " -h 127.0.0.1 -p " +
                          std::to_string(port);
    ASSERT_EQ(tmux({"-f", "/dev/null", "new-session", "-d", "-s", "orv", "-x", "120", "-y", "40", command}), 0);
    console_user bob("bob", port);

    // The layout itself: the column padded to 12, a colon, the date and
    // time of day, the text.
    std::string shown = wait_for_line("irc.orv.test: T >< 001 (alice): Welcome to the Internet Relay Network "
                                      "alice!~alice@127.0.0.1\n");
    static const std::regex welcome("(^|\n)irc\\.orv\\.test: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2} "
                                    ">< 001 \\(alice\\): Welcome");
    EXPECT_TRUE(std::regex_search(shown, welcome)) << shown;
    ASSERT_TRUE(bob.saw(console_line("irc.orv.test", ">< 001 (bob): Welcome to the Internet Relay Network "
                                                     "bob!~bob@127.0.0.1")));

    type(":j #den");
    expect_line(":j #den\n", "the typed command, echoed by the terminal");
    expect_line("alice       : T >< JOIN (): #den\n", "own join");
    bob.type(":j #den");
    expect_line("bob         : T >< JOIN (): #den\n", "the other's join");

    type("hello from a terminal");
    // The terminal echoes what was typed; orv then shows it as sent.
    expect_line("hello from a terminal\n#den        : T <alice> hello from a terminal\n", "own message");
    EXPECT_TRUE(bob.saw(console_line("#den", "<alice> hello from a terminal"))) << bob.shown;
    bob.type("hi alice");
    expect_line("#den        : T <bob> hi alice\n", "the other's message");
    if (HasFailure())
        std::cerr << "ngircd log:\n" << server.log();
}

// rlwrap gives orv line editing and history: a line mended with the arrow
// keys and one recalled with Up reach the server as they read on screen,
// and server lines keep showing while a line is being edited.
TEST_F(terminal, under_rlwrap_edited_and_recalled_lines_reach_the_server_as_shown)
{
    // HOME and the history file in the test's directory: nothing is left
    // behind; no inputrc, so the keys are readline's defaults.
    std::string command = "exec env TZ=UTC USER=alice HOME=" + directory.path +
                          " INPUTRC=/dev/null rlwrap -H " + directory.path + "/history " +
                          orv_command_line() + " -h 127.0.0.1 -p " + std::to_string(port);
    ASSERT_EQ(tmux({"-f", "/dev/null", "new-session", "-d", "-s", "orv", "-x", "120", "-y", "40", command}), 0);
    console_user bob("bob", port);
    expect_line("irc.orv.test: T >< 001 (alice): Welcome to the Internet Relay Network alice!~alice@127.0.0.1\n",
                "welcome");
    type(":j #den");
    expect_line("alice       : T >< JOIN (): #den\n", "own join");
    bob.type(":j #den");
    expect_line("bob         : T >< JOIN (): #den\n", "the other's join");

    // Half a line with a letter missing; the other's message arrives meanwhile.
    tmux({"send-keys", "-t", "orv", "-l", "hello wrld"});
    expect_line("hello wrld\n", "the line being typed");
    bob.type("hi alice");
    expect_line("#den        : T <bob> hi alice\n", "the other's message while a line is edited");
    press({"Left", "Left", "Left"});
    tmux({"send-keys", "-t", "orv", "-l", "o"});
    press({"Enter"});
    type("second line");
    press({"Up", "Up", "Enter"});

    std::string sent = console_line("#den", "<alice> hello world") + console_line("#den", "<alice> second line") +
                       console_line("#den", "<alice> hello world");
    EXPECT_TRUE(bob.saw(sent)) << "bob's console shows:\n" << bob.shown;
    if (HasFailure())
        std::cerr << "screen:\n" << screen() << "ngircd log:\n" << server.log();
}

} // namespace
} // namespace orv_test
