// The client record: all state of the client, one static instance for the
// life of the process. Nothing in it is allocated; texts that do not fit
// their arrays are cut.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>

namespace orv {

constexpr std::size_t nick_capacity = 32;       // 31 characters and a terminator
constexpr std::size_t channel_capacity = 256;   // 255 characters and a terminator
constexpr std::size_t line_capacity = 4096;     // one line read or one text formatted
constexpr std::size_t time_text_capacity = 80;

// Earlier than any reading of the monotonic clock, wherever it starts, yet
// far from the limit, so that intervals from it never overflow.
constexpr std::time_t long_ago = std::numeric_limits<std::time_t>::min() / 2;

// A public network's server that accepts plain connections on 6667.
constexpr const char *default_host = "irc.libera.chat";
constexpr const char *default_port = "6667";

struct client_record {
    // Our nickname: USER or "unknown", then -n, then our own NICK changes;
    // cut to 31 bytes, never inside a UTF-8 character.
    std::array<char, nick_capacity> nick;
    // Server host from -h; also the origin of lines without a prefix and the
    // argument of keep-alive pings. Points at a literal or into argv.
    const char *host = default_host;
    // Port number or service name from -p.
    const char *port = default_port;
    // Connection password from -k; null when none was given.
    const char *keyword = nullptr;
    // The connected socket; -1 until start-up connects. Never closed.
    int server_stream = -1;
    // When the last line came from the server, on the monotonic clock;
    // long ago until one does, so that the first idle expiry gives up.
    std::time_t last_server_line = long_ago;
    // The line being handled, from either source; handlers cut it in place.
    std::array<char, line_capacity> line_buffer;
    // The text being written by one of the writers.
    std::array<char, line_capacity> format_buffer;
    // The timestamp of console lines.
    std::array<char, time_text_capacity> time_text;
    // Where plain typed lines go; empty until :j or :s sets it.
    std::array<char, channel_capacity> default_channel;
    // The rest of an over-long line is never a line of its own: true while
    // it is being read, from the server (dropped) or the terminal.
    bool server_line_goes_on = false;
    bool terminal_line_goes_on = false;
    // What becomes of the rest of an over-long typed line: more chat for
    // rest_target, where the line's own chat went, or dropped, with one
    // notice for the line. Set by each typed line.
    enum class typed_rest : unsigned char { chat, drop, dropped };
    typed_rest terminal_rest = typed_rest::drop;
    std::array<char, line_capacity> rest_target;
    // The flood-control clock of typed lines, in milliseconds on the
    // monotonic clock: behind it while typing may go on at once, up to ten
    // seconds ahead during a paste.
    std::int64_t typing_clock = long_ago;
    // Protocol lines sent so far: a typed line costs on the typing clock
    // only when it sent one.
    std::uint64_t lines_sent = 0;
    // Typing may begin: the server has welcomed us or, at a terminal,
    // refused our nickname or password, which the person answers with a
    // raw ":NICK" or ":PASS". Typed lines wait until then.
    bool registered = false;
    // The server has welcomed us (001): until then only raw lines are sent.
    bool welcomed = false;
    // When the connection opened, on the monotonic clock: a server that has
    // not welcomed us 300 seconds later never will.
    std::time_t connected_at = 0;
    // Other nicknames tried while ours was in use, and the length the
    // server has shown it cuts nicknames to (31 until it does).
    int nick_tries = 0;
    std::size_t nick_limit = nick_capacity - 1;
    // The last other nickname was ours lengthened: a server that refuses a
    // nickname too long as erroneous, rather than cutting it, shows so.
    bool nick_lengthened = false;
    // A registration from a pipe or file that no welcome can follow (a
    // nickname or password refused, a ban), and when it was refused, in
    // milliseconds on the monotonic clock: orv gives up on it soon after.
    bool registration_refused = false;
    std::int64_t refused_at = 0;
    // What was read from standard input and not yet handled: lines a
    // terminal handed over together, which wait for the pace of typing,
    // then an unended tail that begins the next line (from a pipe, the
    // part of a line written so far, or the start of a UTF-8 character
    // that a long line's piece cut).
    std::array<char, line_capacity> typed_ahead;
    std::size_t typed_ahead_length = 0;
    // The last typed line ended at a carriage return: a line feed that
    // begins the next read, nothing held before it, is the rest of a CR LF
    // the two reads split.
    bool typed_after_cr = false;
    // The input has ended: once typed_ahead is handled, orv closes.
    bool typed_input_ended = false;
    // When the wait for the server's last lines ends, in milliseconds on
    // the monotonic clock; 0 until the input ends and the connection is
    // shut down for writing, after which nothing more is sent.
    std::int64_t closing_deadline = 0;
    // Standard output is a terminal, which obeys control characters: set
    // once at start-up.
    bool console_is_terminal = false;
    // The locale names an 8-bit character set, where a terminal takes every
    // byte 0x80 to 0x9F for a control, inside UTF-8 or not.
    bool console_is_eight_bit = false;
    // The rest of a chat message too long for one protocol line, and where
    // it goes: sent a piece at a time on the typing clock, and typing waits
    // meanwhile. Empty when nothing waits.
    std::array<char, line_capacity> unsent_text;
    std::array<char, line_capacity> unsent_target;
};

extern client_record client;

} // namespace orv
