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

// Resets the client record to a welcomed client named bob on irc.test,
// with the given default channel.
void reset_client(const char *default_channel = "");

// Runs the action and returns what it wrote.
captured capture(const std::function<void()> &action);

// Puts text into line_buffer as a read would leave it.
void put_line(std::string_view text);

// A console line as the client writes it, with "T" for the timestamp.
std::string shown(std::string_view column, std::string_view text);

// Texts for a cut that keeps at most keep bytes, with what it keeps: one
// for each class of UTF-8 character (2, 3 and 4 bytes, the lowest and
// highest lead byte of each) beginning at the last byte kept, and ones of
// keep - 1, keep and keep + 1 bytes; each named for a table row.
struct cut_row {
    const char *name;
    std::string text, kept;
};
std::vector<cut_row> cuts_at(std::size_t keep, char filler);

// The rows make gives a table for each of those texts.
template <class Row, class Make> std::vector<Row> cut_rows(std::size_t keep, char filler, Make make)
{
    std::vector<Row> rows;
    for (const cut_row &row : cuts_at(keep, filler))
        rows.push_back(make(row));
    return rows;
}

} // namespace orv_test
