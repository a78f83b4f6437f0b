// Runs a piece of the client with its two outputs captured: the server
// stream is one end of a socket pair, standard output a pipe.
#pragma once

#include "core/client.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace orv_test {

struct captured {
    std::string console; // standard output, timestamps replaced by "T"
    std::string wire;    // what reached the server
};

// Resets the client record to a connected client named bob on irc.test,
// with the given default channel.
void reset_client(const char *default_channel = "");

// Runs the action and returns what it wrote.
captured capture(const std::function<void()> &action);

// Puts text into line_buffer as a read would leave it.
void put_line(std::string_view text);

// A console line as the client writes it, with "T" for the timestamp.
std::string shown(std::string_view column, std::string_view text);

} // namespace orv_test
