// The event loop: serves the server and the terminal until the process ends.
#pragma once

#include <cstddef>

namespace orv {

// Reads one line from the server into line_buffer, taking from the system
// nothing past its line feed, or the 4095 bytes that fill the buffer; waits
// for the rest of a line that has only partly arrived. Returns its length:
// 0 at the end of the stream or on failure.
std::size_t read_server_line();

// The same for standard input.
std::size_t read_terminal_line();

// Waits on both sources, hands their lines to the handlers, and pings or
// gives up on a silent server. Never returns: the process ends in
// exit_with_error when either source ends, the wait fails, or the server has
// been silent too long.
[[noreturn]] void run_event_loop();

} // namespace orv
