#include "core/event_loop.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

namespace orv_test {
namespace {

// One second either side of the limits: an idle wake-up pings the server
// until it has been silent for 300 seconds, and then gives up on it.
TEST(keep_alive, pings_until_the_server_has_been_silent_300_seconds)
{
    const std::time_t now = 1709647620;
    reset_client();
    orv::client.last_server_line = now - 299;
    EXPECT_EQ(capture([&] { orv::keep_alive(now); }).wire, "PING irc.test\r\n");
    orv::client.last_server_line = now - 300;
    EXPECT_EXIT(orv::keep_alive(now), testing::ExitedWithCode(1), "^orv shutting down: parse timeout\n$");
    // Before the welcome: no ping, and 300 seconds from the connection at most.
    orv::client.welcomed = false;
    orv::client.last_server_line = now;
    orv::client.connected_at = now - 299;
    EXPECT_EQ(capture([&] { orv::keep_alive(now); }).wire, "");
    orv::client.connected_at = now - 300;
    EXPECT_EXIT(orv::keep_alive(now), testing::ExitedWithCode(1), "^orv shutting down: parse timeout\n$");
}

} // namespace
} // namespace orv_test
