#include "core/event_loop.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace orv_test {
namespace {

struct silence_case {
    const char *name;
    std::time_t silence; // seconds since the last server line
    std::string wire;    // sent when orv stays
};

void PrintTo(const silence_case &c, std::ostream *out) { *out << c.name; }

class keep_alive_test : public testing::TestWithParam<silence_case> {};

TEST_P(keep_alive_test, pings_until_the_server_has_been_silent_five_minutes)
{
    const silence_case &c = GetParam();
    reset_client();
    const std::time_t now = 1709647620;
    orv::client.last_server_line = now - c.silence;
    if (c.wire.empty())
        EXPECT_EXIT(orv::keep_alive(now), testing::ExitedWithCode(1), "^orv shutting down: parse timeout\n$");
    else
        EXPECT_EQ(capture([&] { orv::keep_alive(now); }).wire, c.wire);
}

INSTANTIATE_TEST_SUITE_P(
    cases, keep_alive_test,
    testing::Values(silence_case{"silent_299_seconds_is_pinged", 299, "PING irc.test\r\n"},
                    silence_case{"silent_300_seconds_is_left", 300, ""}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace orv_test
