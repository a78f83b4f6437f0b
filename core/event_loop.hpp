// The event loop: serves the server and the terminal until the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace orv {

// Whole seconds on the monotonic clock, which no setting of the time of day
// moves: every interval is measured on it.
std::time_t monotonic_seconds();

// The same in milliseconds, for the pace of typed lines.
std::int64_t monotonic_milliseconds();

// Reads one line from the server into line_buffer, taking from the system
// nothing past its line feed, or the 4095 bytes that fill the buffer. Waits
// for the rest of a line that has only partly arrived, pinging the server
// while it stalls and ending the process as a silent server does. Returns
// its length: 0 at the end of the stream or on failure.
std::size_t read_server_line();

// The same for standard input, which is never peeked at: a pipe or file is
// read a byte at a time up to a line feed, as far as it has come; a
// terminal as much as it hands over, kept in typed_ahead, where a line
// feed, a carriage return or CR LF (even split between two reads) ends
// each line. A read from a terminal in canonical mode that holds no line
// end (Ctrl-D inside a line) is a whole line; the unended tail of one that
// holds line ends begins the next line. A piece that the 4095 bytes cut
// inside a UTF-8 character ends before it, and the character begins the
// next piece. Sets terminal_line_goes_on for a cut piece. Returns the
// length: 0 when no line has ended yet (on a terminal not in canonical
// mode, or from a pipe that has written part of a line) or once the input
// has ended, typed_input_ended then telling so.
std::size_t read_terminal_line();

// True when a line in typed_ahead, or the end of the input, waits to be
// handled without reading more.
bool typed_line_waits();

// Reads one server line and hands it to the handler, then records its time;
// the rest of an over-long line is dropped. Ends the process when the
// server has closed the connection, saying that piped input was not sent
// when it closed before the welcome.
void serve_server_line();

// Reads one typed line and hands it to the handler, advancing the typing
// clock when it sent something; the rest of an over-long line goes where
// the line went, or is dropped. When the input has ended, shuts the
// connection down for writing, shows what the server still sends until it
// closes or five seconds in all pass, a line stalled midway included, and
// ends the process; nothing is sent after the shutdown.
void serve_terminal_line();

// At an idle wake-up: pings the server once it has welcomed us, or ends the
// process when the server has been silent for 300 seconds or more at now,
// or has not welcomed us 300 seconds after the connection opened.
void keep_alive(std::time_t now);

// Waits on both sources, hands their lines to the handlers, and pings or
// gives up on a silent server. Standard input waits until the server has
// welcomed us or, at a terminal, refused the registration; piped input
// whose registration was refused is given up five seconds later. Typed
// lines are paced: five at once, then one every two seconds; each piece of
// a long chat message counts as a line, and typing waits until the last
// has gone. Never returns: the process ends in exit_with_error when either
// source ends, the wait fails, or the server has been silent too long.
[[noreturn]] void run_event_loop();

} // namespace orv
