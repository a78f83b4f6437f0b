// What the fuzz targets share: the client's outputs pointed at a pipe and a
// socket that the target drains after every line, the client record put back
// to a known state, and the checks every line's output must pass. A broken
// check prints what broke and aborts, which libFuzzer reports as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv_fuzz {

// Points descriptor 1 at a pipe that take_console empties. Call once.
void capture_console();

// Everything written to descriptor 1 since the last call.
std::string take_console();

// Everything readable now on the descriptor, which must be non-blocking.
std::string take_pending(int descriptor);

// Puts the record back: nick "bob", no default channel, host "irc.test",
// default port, no keyword, empty buffers.
void reset_client();

// Opens a connected socket pair: client.server_stream gets one end, the
// peer (non-blocking) end is returned. The bytes given are written to the
// peer end first and the peer's sending side is shut, so that reads from
// server_stream see them followed by the end of the stream.
int connect_peer(const std::uint8_t *data, std::size_t size);

// Prints the failed check with the line it was about, and aborts.
[[noreturn]] void fail(const char *what, std::string_view line, std::string_view output);

// The wire holds nothing or exactly one protocol line: it ends in CR LF and
// has no other CR or LF. Returns the line without its CR LF.
std::string_view check_protocol_line(std::string_view wire, std::string_view line);

// The console holds nothing or exactly one line ending in its only line
// feed; on a terminal it holds no control character but tab and that line
// feed. Returns the line without its line feed.
std::string_view check_console_line(std::string_view console, std::string_view line,
                                    bool on_terminal);

// nick and default_channel are terminated within their arrays.
void check_record_texts(std::string_view line);

} // namespace orv_fuzz
