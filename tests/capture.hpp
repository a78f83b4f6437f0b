// Runs a piece of the client with its two outputs captured: the server
// stream is one end of a socket pair, standard output a pipe.
#pragma once

#include "core/client.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// The lowest and highest lead byte of each length of UTF-8 character, each
// beginning a well-formed character (C2 80, DF BF, E0 A0 80, ...).
struct utf8_edge {
    const char *lead; // "c2"
    std::string character;
};
extern const std::vector<utf8_edge> utf8_edges;

// A row name for a table, kept for the whole run.
const char *row_name(std::string name);

} // namespace orv_test
