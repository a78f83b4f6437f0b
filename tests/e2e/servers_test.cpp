// orv against real IRC servers: ngIRCd and InspIRCd from the system's
// packages, each started by the test on 127.0.0.1 with a throwaway
// configuration, and two orv processes talking through it as two people.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <ostream>
#include <string>
#include <thread>

namespace orv_test {
namespace {

struct server_case {
    const char *name; // the server program, and the name of its template
    // What follows ">< 001 (NICK): " on the console of NICK.
    std::string (*welcome)(const std::string &nick);
    // The last console line of a client that sent QUIT, after "T >< ".
    std::string closing;
    // What others see after ">< QUIT (): " when NICK quits without a text.
    std::string (*quit_text)(const std::string &nick);
};

void PrintTo(const server_case &c, std::ostream *out) { *out << c.name; }

const server_case servers[] = {
    {"ngircd",
     [](const std::string &nick) {
         return "Welcome to the Internet Relay Network " + nick + "!~" + nick + "@127.0.0.1";
     },
     "ERROR (): Closing connection", [](const std::string &nick) { return nick; }},
    {"inspircd",
     [](const std::string &nick) {
         return "Welcome to the orvtest IRC Network " + nick + "!" + nick + "@127.0.0.1";
     },
     "ERROR (): Closing link: (alice@127.0.0.1) [Client exited]",
     // The "Quit: " prefix goes only before a text of the user's own.
     [](const std::string &) { return std::string("Client exited"); }},
};

// Fails the test, naming the server, the user and the step, unless the
// user's console shows the line.
void expect_shown(const char *server, console_user &user, const std::string &line, const char *step,
                  duration timeout = patience)
{
    EXPECT_TRUE(user.saw(line, timeout)) << server << ", " << step << ": " << user.nick << " was not shown\n"
                                         << line << "but only:\n"
                                         << user.shown << user.pending;
}

// Both join the channel; each waits to see the other's join, so that what
// follows reaches both.
void join_both(const char *server, console_user &first, console_user &second, const std::string &channel)
{
    first.type(":j " + channel);
    expect_shown(server, first, console_line(first.nick, ">< JOIN (): " + channel), "first join");
    second.type(":j " + channel);
    expect_shown(server, second, console_line(second.nick, ">< JOIN (): " + channel), "second join");
    expect_shown(server, first, console_line(second.nick, ">< JOIN (): " + channel), "join seen by the other");
}

class real_server : public testing::TestWithParam<server_case> {
protected:
    temporary_directory directory;
    daemon_process server;
    int port = free_port();

    void SetUp() override { start_irc_server(server, GetParam().name, directory.path, port); }

    void TearDown() override
    {
        server.stop();
        if (HasFailure())
            std::cerr << GetParam().name << " log:\n" << server.log();
    }

    void expect_shown(console_user &user, const std::string &line, const char *step)
    {
        orv_test::expect_shown(GetParam().name, user, line, step);
    }

    void expect_welcome(console_user &user)
    {
        expect_shown(user, console_line("irc.orv.test", ">< 001 (" + user.nick + "): " + GetParam().welcome(user.nick)),
                     "registration");
    }

    void join_both(console_user &first, console_user &second, const std::string &channel)
    {
        orv_test::join_both(GetParam().name, first, second, channel);
    }
};

TEST_P(real_server, both_users_register_and_see_the_welcome)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
}

TEST_P(real_server, channel_lines_reach_the_other_side)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");

    bob.type("hello den");
    expect_shown(bob, console_line("#den", "<bob> hello den"), "own echo");
    expect_shown(alice, console_line("#den", "<bob> hello den"), "delivery");
    alice.type("hi bob: all well?");
    expect_shown(alice, console_line("#den", "<alice> hi bob: all well?"), "own echo of the reply");
    expect_shown(bob, console_line("#den", "<alice> hi bob: all well?"), "delivery of the reply");
}

TEST_P(real_server, m_sends_a_private_message_shown_under_the_recipient)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);

    alice.type(":m bob psst, over here");
    expect_shown(alice, console_line("bob", "<alice> psst, over here"), "own echo");
    expect_shown(bob, console_line("bob", "<alice> psst, over here"), "delivery");
}

TEST_P(real_server, s_switches_the_default_channel)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");
    join_both(alice, bob, "#two");

    alice.type("still in den");
    expect_shown(bob, console_line("#den", "<alice> still in den"), "the first channel joined is the default");
    alice.type(":s #two");
    alice.type("now in two");
    expect_shown(alice, console_line("#two", "<alice> now in two"), "own echo after :s");
    expect_shown(bob, console_line("#two", "<alice> now in two"), "delivery after :s");
}

TEST_P(real_server, l_leaves_with_the_default_text_or_ones_own)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");

    alice.type(":l ");
    std::string part = console_line("alice", ">< PART (#den): orv - 250 LOC are too much!");
    expect_shown(alice, part, "own leave with the default text");
    expect_shown(bob, part, "leave seen with the default text");

    alice.type(":j #den");
    expect_shown(bob, console_line("alice", ">< JOIN (): #den"), "join again");
    alice.type(":l #den see you later");
    part = console_line("alice", ">< PART (#den): see you later");
    expect_shown(alice, part, "own leave with a text");
    expect_shown(bob, part, "leave seen with a text");
}

TEST_P(real_server, raw_nick_changes_the_name_and_the_echo_follows)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");

    alice.type(":NICK alicia");
    std::string change = console_line("alice", ">< NICK (): alicia");
    expect_shown(alice, change, "own nickname change");
    expect_shown(bob, change, "nickname change seen by the other");
    alice.type("same person");
    expect_shown(alice, console_line("#den", "<alicia> same person"), "echo under the new name");
    expect_shown(bob, console_line("#den", "<alicia> same person"), "delivery under the new name");
}

TEST_P(real_server, raw_quit_ends_the_client)
{
    console_user alice("alice", port), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");

    alice.type(":QUIT");
    expect_shown(alice, console_line("127.0.0.1", ">< " + GetParam().closing), "the server's farewell");
    EXPECT_EQ(read_to_end(alice.orv.error), "orv: remote host closed connection\n");
    EXPECT_EQ(alice.orv.wait_for_exit(), 1);
    expect_shown(bob, console_line("alice", ">< QUIT (): " + GetParam().quit_text("alice")),
                 "the quit seen by the other");
}

// A paragraph typed as one line, 1,500 characters in 1,970 bytes, is more
// than ngIRCd takes in one line or InspIRCd relays: it goes in six pieces,
// split at blanks, and reaches the other side whole and in order.
TEST_P(real_server, long_line_arrives_whole_and_the_sender_stays)
{
    const std::string nick = "a_nickname_of_thirty_character", from = "<" + nick + "> ";
    console_user sender(nick, port), bob("bob", port);
    expect_shown(sender, "irc.orv.test: T >< 001 (" + nick + "): Welcome", "registration"); // user cut
    expect_welcome(bob);
    join_both(sender, bob, "#den");
    std::string line = "open", joined;
    for (int i = 0; i < 189; ++i)
        line += (i % 2 ? " слово" : " word") + std::to_string(i);
    sender.type(line);
    sender.type("typed after it");
    orv_test::expect_shown(GetParam().name, bob, console_line("#den", from + "typed after it"), "after", 20s);
    for (std::size_t at = 0; (at = bob.shown.find(from, at)) != std::string::npos;) {
        std::size_t end = bob.shown.find('\n', at += from.size());
        joined += (joined.empty() ? "" : " ") + bob.shown.substr(at, end - at);
    }
    EXPECT_EQ(joined, line + " typed after it");
    EXPECT_EQ(read_for(sender.orv.error, 0ms), "") << "the sender stays";
}

// Counts the lines of a transcript that begin with text.
static int count_lines(const std::string &transcript, const std::string &text)
{
    int count = 0;
    for (std::size_t at = 0; (at = ("\n" + transcript).find("\n" + text, at)) != std::string::npos; ++at)
        ++count;
    return count;
}

TEST_P(real_server, keep_alive_pings_are_answered_and_the_connection_lives_on)
{
    // alice's traffic passes through a relay that keeps a copy of it.
    relay wire(port);
    console_user alice("alice", wire.port()), bob("bob", port);
    expect_welcome(alice);
    expect_welcome(bob);
    join_both(alice, bob, "#den");

    // Idle until the server has pinged twice: the first ping left
    // unanswered would have closed the connection before the second.
    constexpr int pings = 2;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    const std::string ping = "PING :irc.orv.test\r\n", pong = "PONG irc.orv.test\r\n";
    std::string pinged, answered;
    while ((count_lines(pinged = wire.from_server(), ping) < pings ||
            count_lines(answered = wire.from_client(), pong) < count_lines(pinged, ping)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_GE(count_lines(pinged, ping), pings) << pinged;
    EXPECT_EQ(count_lines(answered, pong), count_lines(pinged, ping)) << "every ping answered:\n" << answered;
    EXPECT_EQ(alice.shown.find(">< PING"), std::string::npos) << "a ping was shown";

    alice.type("still here");
    expect_shown(bob, console_line("#den", "<alice> still here"), "delivery after the pings");
    EXPECT_EQ(read_for(alice.orv.error, 0ms), "");
}

// A paste of eight lines, 3.2 kB, is more than InspIRCd's receive queue
// takes at once: orv sends five at once, then one every two seconds, and
// stays.
TEST(paced_paste, reaches_the_channel_in_order_and_the_sender_stays)
{
    temporary_directory directory;
    daemon_process server;
    int port = free_port();
    start_irc_server(server, "inspircd", directory.path, port);
    console_user alice("alice", port), bob("bob", port);
    for (console_user *user : {&alice, &bob})
        expect_shown("inspircd", *user, console_line("irc.orv.test", ">< 001 (" + user->nick + "): " + servers[1].welcome(user->nick)),
                     "registration");
    join_both("inspircd", alice, bob, "#den");
    auto pasted = [](int i) { return "pasted line " + std::to_string(i) + " of a long recipe " + std::string(350, '.'); };
    std::string paste;
    for (int i = 1; i <= 8; ++i)
        paste += pasted(i) + "\n";
    send_text(alice.orv.input, paste);
    std::string delivered;
    for (int i = 1; i <= 8; ++i) {
        std::string line = console_line("#den", "<alice> " + pasted(i));
        // The first five within a second or two, then one every two seconds.
        expect_shown("inspircd", bob, line, "delivery", i <= 5 ? 2s : 5s);
        delivered += line;
    }
    EXPECT_NE(bob.shown.find(delivered), std::string::npos) << "not in order:\n" << bob.shown;
    EXPECT_EQ(alice.shown.find(">< ERROR"), std::string::npos) << alice.shown;
    EXPECT_EQ(read_for(alice.orv.error, 0ms), "");
    if (testing::Test::HasFailure())
        std::cerr << "inspircd log:\n" << server.log();
}

// orv speaks plain TCP; a TLS-only server is reached through a local tunnel,
// as the README and the manual page tell: socat listens on the loopback and
// speaks TLS to the server, checking its certificate.
TEST(tls_tunnel, carries_a_conversation_to_a_tls_port)
{
    temporary_directory directory;
    const std::string certificate = directory.path + "/cert.pem", key = directory.path + "/key.pem";
    ASSERT_EQ(run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                           "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                           key, "-out", certificate},
                          nullptr, 30s),
              0);
    int tls_port = free_port();
    // The plain port of the template stays, unused; the TLS one is added.
    std::string tls_section = "[SSL]\n\tCertFile = " + certificate + "\n\tKeyFile = " + key +
                              "\n\tPorts = " + std::to_string(tls_port) + "\n";
    daemon_process server;
    start_irc_server(server, "ngircd", directory.path, free_port(), tls_section);
    ASSERT_TRUE(wait_for_port(tls_port, 30s)) << server.log(); // it makes its DH parameters first

    int tunnel_port = free_port();
    daemon_process tunnel;
    tunnel.start({"socat", "TCP-LISTEN:" + std::to_string(tunnel_port) + ",bind=127.0.0.1,reuseaddr,fork",
                  "OPENSSL:127.0.0.1:" + std::to_string(tls_port) + ",cafile=" + certificate},
                 directory.path + "/socat.log");
    ASSERT_TRUE(wait_for_port(tunnel_port)) << tunnel.log();

    const char *name = "ngircd over TLS";
    console_user alice("alice", tunnel_port), bob("bob", tunnel_port);
    for (console_user *user : {&alice, &bob})
        expect_shown(name, *user,
                     console_line("irc.orv.test", ">< 001 (" + user->nick + "): Welcome to the Internet Relay Network " +
                                                      user->nick + "!~" + user->nick + "@127.0.0.1"),
                     "registration");
    join_both(name, alice, bob, "#den");
    bob.type("hello over TLS");
    expect_shown(name, alice, console_line("#den", "<bob> hello over TLS"), "delivery");
    alice.type(":WHOIS bob");
    expect_shown(name, alice, console_line("irc.orv.test", ">< 275 (alice bob): is connected via SSL (secure link)"),
                 "the server's word that bob came over TLS");
    if (testing::Test::HasFailure())
        std::cerr << "ngircd log:\n" << server.log() << "socat log:\n" << tunnel.log();
}

INSTANTIATE_TEST_SUITE_P(servers, real_server, testing::ValuesIn(servers),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
