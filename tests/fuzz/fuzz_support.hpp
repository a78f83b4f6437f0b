// What the fuzz targets share: a make-believe world around the client, in
// memory. The targets are linked with --wrap for the system calls the client
// makes (recv, read, sendmsg, writev, poll, shutdown, tcgetattr, time,
// clock_gettime, exit) and for the line handlers, so that the real readers and writers run
// on bytes the fuzzer gives, in pieces it chooses, and every write is
// collected. A broken check prints what broke and aborts, which libFuzzer
// reports as a crash.
//
// A line target's input is a header and the bytes that arrive. The header's
// first byte holds flags (1: standard output is a terminal; 2: standard
// input is a terminal in canonical mode; 4: each read and wait is
// interrupted by a signal once before it goes through; 8 with 1: the
// terminal's locale is 8-bit); the next 8 bytes are
// the choices,
// taken in turn, over and over, whenever the world must decide something:
//   bytes arriving from the server: 0 all that is left, n the next n;
//   a wait for the rest of a server line: F0 to F3 time out 0 to 3 times
//     (each time the wait's full limit passes) before bytes come;
//   a write: below C0 it takes everything, C0 to CF fail with EAGAIN, D0 to
//     DF with EINTR, E0 to FF take (n & 1F) + 1 bytes at most;
//   a line typed on a terminal: E0 to FF Ctrl-D after (n & 1F) + 1 bytes.
#pragma once

#include "core/client.hpp"
#include "text/text.hpp"

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace orv_fuzz {

constexpr std::size_t header_size = 9;
constexpr std::size_t line_room = orv::line_capacity - 1; // what one read can fill
constexpr const char *fake_host = "irc.test";

struct fake_world {
    std::string_view input;      // what the server sends or the user types
    std::size_t arrived = 0;     // server bytes that have come so far
    std::size_t taken = 0;       // bytes the client has read
    std::size_t typed_end = 0;   // end of the line the terminal is handing over
    std::size_t piece_start = 0; // where the read being served began
    // A line feed that begins it ends the line before, typed with a
    // carriage return that the last read ended on: it is no line of its own.
    bool split_cr_lf = false;
    bool canonical_terminal = false;
    bool interrupting = false; // flag 4
    // The last recv, read or poll failed with EINTR.
    bool recv_interrupted = false, read_interrupted = false, poll_interrupted = false;
    std::uint8_t choices[header_size - 1] = {};
    std::size_t next_choice = 0;
    bool last_write_failed = false;
    bool must_wait_writable = false; // an EAGAIN not yet followed by poll
    int stalls_left = -1;            // time-outs left in this wait; -1: not chosen
    std::time_t now = 1'000'000'000;
    std::time_t last_byte_time = now;
    int reads = 0;          // reads of standard input during the serve
    int handled_lines = 0;  // handler calls during the serve
    int handled_rests = 0;
    std::string wire, console, error; // what was written
    std::string expected_wire;        // keep-alive pings the stalls call for
    const char *expected_exit = nullptr;
    std::jmp_buf *exit_trap = nullptr;
    int exit_status = 0;
};

extern fake_world world;

// Resets the world and the client record (nick "bob", host "irc.test") for
// a new input, read with or without a header.
void begin(const std::uint8_t *data, std::size_t size, bool with_header);

// The next bytes from the server arrive, as many as the choice gives.
void arrive();

// Calls call, and returns whether the client exited meanwhile; the status
// and what went to standard error are in the world.
bool exits(void (*call)());

// Prints the failed check with the input it was about, and aborts.
[[noreturn]] void fail(const char *what, std::string_view line, std::string_view output);

// Each protocol line ends in one CR LF, holds no other CR or LF and fits
// format_buffer.
void check_protocol_lines(std::string_view wire, std::string_view line);

// The console holds nothing or one line; on a terminal no control but tab,
// no DEL and no C1 control written in UTF-8 (C2 80 to C2 9F), and in an
// 8-bit locale no byte 0x80 to 0x9F.
void check_console_line(std::string_view console, std::string_view line);

// nick and default_channel are terminated within their arrays.
void check_record_texts(std::string_view line);

using orv::is_space;

// A nickname as the record keeps it: its first 31 bytes, less the start of
// a UTF-8 character (three bytes at most) that the 32nd byte continues.
std::string_view kept_nick(std::string_view nick);

// What the handlers see of a piece: the text up to a NUL, CR or LF.
std::string_view line_text(std::string_view piece);

// A protocol line as the writer sends it: cut to 4095 bytes, then CR LF.
std::string protocol_line(std::string_view text);

} // namespace orv_fuzz
