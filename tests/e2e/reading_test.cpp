// How server lines are taken from the socket: a line of any length up to
// the buffer is handled whole, however it arrives and whatever is queued
// behind it, and the line after it is handled on its own.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace orv_test {
namespace {

const std::string prefix = ":a!b PRIVMSG #den :";

// A chat line of this many bytes, CR LF included.
std::string chat_line(std::size_t total)
{
    return prefix + std::string(total - prefix.size() - 2, 'x') + "\r\n";
}

struct reading_case {
    const char *name;
    std::size_t total;          // bytes of the chat line, CR LF included
    std::vector<std::size_t> cuts; // the peer pauses after these many bytes
};

void PrintTo(const reading_case &c, std::ostream *out) { *out << c.name; }

class reading_test : public testing::TestWithParam<reading_case> {};

TEST_P(reading_test, line_is_handled_whole_and_the_next_on_its_own)
{
    const reading_case &c = GetParam();
    session s;
    std::string wire = chat_line(c.total) + "PING :after\r\n";
    std::size_t sent = 0;
    for (std::size_t cut : c.cuts) {
        send_text(s.peer, wire.substr(sent, cut - sent));
        usleep(100000);
        sent = cut;
    }
    send_text(s.peer, wire.substr(sent));
    EXPECT_EQ(read_until(s.peer, "\r\n", 2s), "PONG after\r\n");
    std::string text = "<a> " + std::string(c.total - prefix.size() - 2, 'x');
    EXPECT_EQ(without_times(read_until(s.orv.output, "\n", 2s)), console_line("#den", text));
}

INSTANTIATE_TEST_SUITE_P(
    cases, reading_test,
    testing::Values(reading_case{"short_line", 40, {}},
                    reading_case{"line_feed_just_inside_512_bytes", 511, {}},
                    reading_case{"line_feed_at_byte_512", 512, {}},
                    reading_case{"line_feed_at_byte_513", 513, {}},
                    reading_case{"line_of_3000_bytes", 3000, {}},
                    reading_case{"line_that_fills_the_buffer", 4095, {}},
                    reading_case{"long_line_arriving_in_three_pieces", 3000, {300, 1000}},
                    reading_case{"line_feed_arriving_last", 600, {599}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
