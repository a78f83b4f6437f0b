#include "core/event_loop.hpp"

#include "core/client.hpp"
#include "lines/server_line.hpp"
#include "lines/terminal_line.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace orv {

namespace {
// How standard input hands over what is typed: a pipe or a file as much
// as is asked, a terminal in canonical mode (a line editor of its own) a
// line a read, a terminal in raw or cbreak mode the keys as they come.
enum class input_kind { stream, lines, keys };
constexpr int idle_wait_seconds = 120;
constexpr std::time_t silence_limit_seconds = 300;
// A server that has not welcomed us this long after the connection opened
// never will; one that refused the registration of piped input is left
// this long after.
constexpr std::time_t welcome_limit_seconds = 300;
constexpr std::int64_t refusal_grace_ms = 5000;
constexpr const char *not_sent_message = "orv: not registered; the input was not sent\n";
// Typed lines are read on the flood-control clock servers keep for their
// clients: each line that sends something costs two seconds, and the clock
// may run up to ten seconds ahead of the time. A paste leaves five lines at
// once, then one every two seconds, and the server never drops us for
// flooding it.
constexpr std::int64_t typed_line_cost_ms = 2000;
constexpr std::int64_t typing_burst_ms = 10000;
// After the end of input, how long the server's last lines are awaited.
constexpr std::int64_t closing_grace_ms = 5000;
constexpr const char *input_end_message = "orv: broken pipe\n";
constexpr std::size_t line_room = line_capacity - 1;
// A server line is at most 512 bytes with its CR LF, so a first look this
// long nearly always finds the line feed, without copying the lines queued
// behind it as a look at the whole room would; a longer line gets one more
// look, at the rest of the room.
constexpr std::size_t first_look_length = 512;
} // namespace

std::int64_t monotonic_milliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::time_t monotonic_seconds()
{
    return static_cast<std::time_t>(monotonic_milliseconds() / 1000);
}

void keep_alive(std::time_t now)
{
    if (now - client.last_server_line >= silence_limit_seconds
        || (!client.welcomed && now - client.connected_at >= welcome_limit_seconds))
        exit_with_error("orv shutting down: parse timeout\n");
    if (client.welcomed) // before, a ping draws only "not registered"
        send_to_server("PING %s", client.host);
}

// How long a wait may last: until typing may go on, else the idle wait;
// before the welcome, no longer than its limit, or than the grace after a
// refused registration, whose end gives up on it.
static int wait_limit(std::int64_t paced)
{
    std::int64_t limit = paced > 0 ? paced : idle_wait_seconds * 1000;
    if (client.welcomed)
        return static_cast<int>(limit);
    std::int64_t now = monotonic_milliseconds();
    limit = std::min(limit, (client.connected_at + welcome_limit_seconds) * 1000 - now);
    if (client.registration_refused) {
        std::int64_t left = client.refused_at + refusal_grace_ms - now;
        if (left <= 0)
            exit_with_error("%s", not_sent_message);
        limit = std::min(limit, left);
    }
    return static_cast<int>(std::max<std::int64_t>(limit, 0));
}

// Waits for more of a server line that has partly arrived. The bytes that
// came are server activity, and a link that stalls inside a line is kept
// alive, or given up, as between lines; after the end of input, the line
// gets what is left of the closing wait, however slowly it comes.
static void wait_for_rest_of_line()
{
    client.last_server_line = monotonic_seconds();
    pollfd server{client.server_stream, POLLIN, 0};
    for (;;) {
        bool closing = client.closing_deadline != 0;
        std::int64_t limit = closing ? client.closing_deadline - monotonic_milliseconds() : wait_limit(0);
        int ready = limit > 0 ? poll(&server, 1, static_cast<int>(limit)) : 0;
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return; // the read tells the rest
        if (ready == 0 && closing)
            exit_with_error("%s", input_end_message);
        if (ready == 0)
            keep_alive(monotonic_seconds());
    }
}

std::size_t read_server_line()
{
    char *line = client.line_buffer.data();
    std::size_t length = 0;
    while (length < line_room) {
        if (length > 0)
            wait_for_rest_of_line();
        // Look at what is pending, then take exactly up to the line feed:
        // whatever follows stays with the system, where select sees it.
        std::size_t look = length == 0 ? first_look_length : line_room - length;
        ssize_t pending = recv(client.server_stream, line + length, look, MSG_PEEK);
        if (pending < 0 && errno == EINTR)
            continue;
        if (pending < 0 && errno == EAGAIN) { // the socket is non-blocking
            pollfd server{client.server_stream, POLLIN, 0};
            poll(&server, 1, -1);
            continue;
        }
        if (pending <= 0)
            break;
        auto *line_feed = static_cast<char *>(std::memchr(line + length, '\n', static_cast<std::size_t>(pending)));
        std::size_t wanted = line_feed != nullptr ? static_cast<std::size_t>(line_feed - (line + length)) + 1
                                                  : static_cast<std::size_t>(pending);
        ssize_t taken;
        do
            taken = recv(client.server_stream, line + length, wanted, 0);
        while (taken < 0 && errno == EINTR);
        if (taken <= 0)
            break;
        length += static_cast<std::size_t>(taken);
        if (line[length - 1] == '\n')
            break;
    }
    line[length] = '\0';
    return length;
}

// One read of standard input. A read that finds nothing yet, on an input
// a parent left non-blocking, waits for more: it is neither the end of a
// line nor the end of the input.
static ssize_t read_input(char *into, std::size_t length)
{
    for (;;) {
        ssize_t taken = read(STDIN_FILENO, into, length);
        if (taken >= 0 || (errno != EINTR && errno != EAGAIN))
            return taken;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (errno == EAGAIN && poll(&input, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
}

static input_kind kind_of_input()
{
    // A terminal that has hung up fails with EIO, not ENOTTY: the lines it
    // handed over before are still a terminal's, CR-ended ones included.
    static input_kind known = input_kind::stream;
    termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0)
        return errno == ENOTTY ? input_kind::stream : known;
    known = (mode.c_lflag & ICANON) != 0 ? input_kind::lines : input_kind::keys;
    return known;
}

// Where the first line of text ends: past its line feed or, typed on a
// terminal, past its carriage return or CR LF. 0 when no line ends in it.
static std::size_t line_end(const char *text, std::size_t length, input_kind kind)
{
    for (std::size_t at = 0; at < length; ++at) {
        if (text[at] == '\n')
            return at + 1;
        if (text[at] == '\r' && kind != input_kind::stream)
            return at + (at + 1 < length && text[at + 1] == '\n' ? 2 : 1);
    }
    return 0;
}

// A terminal read that found nothing: true when the terminal hung up.
static bool input_hung_up()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Reads more input behind what typed_ahead holds. Returns where its first
// line ends: 0 when none has ended yet.
static std::size_t read_typed(input_kind kind)
{
    char *ahead = client.typed_ahead.data();
    std::size_t &held = client.typed_ahead_length;
    if (kind == input_kind::stream) {
        // A pipe or a file cannot be peeked at, and another program may
        // read it after orv: take a byte at a time, nothing ahead, and no
        // more than has come: a line a script has only begun to write
        // ("deploying... ", then "done" a minute later) must not hold up
        // the server, whose pings would go unanswered.
        while (held < line_room) {
            if (read_input(ahead + held, 1) <= 0) {
                client.typed_input_ended = true;
                return held;
            }
            if (ahead[held++] == '\n')
                return held;
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (held < line_room && poll(&input, 1, 0) == 0)
                return 0; // the rest of the line, when it comes
        }
        return held;
    }
    // A terminal hands over a line a read, or in canonical mode all that
    // was typed before the read when the shell had it raw: several lines,
    // and a tail that begins the next line. A canonical read without a
    // line end (Ctrl-D inside a line) is a whole line; a raw read that
    // finds nothing yet is nothing at all.
    std::size_t before = held;
    ssize_t taken = read_input(ahead + held, line_room - held);
    if (taken == 0 && kind == input_kind::keys && !input_hung_up())
        return 0;
    if (taken <= 0) {
        client.typed_input_ended = true;
        return 0;
    }
    held += static_cast<std::size_t>(taken);
    bool rest_of_line_end = before == 0 && client.typed_after_cr && ahead[0] == '\n';
    client.typed_after_cr = false;
    if (rest_of_line_end && --held == 0)
        return 0;
    if (rest_of_line_end)
        std::memmove(ahead, ahead + 1, held);
    std::size_t end = line_end(ahead + before, held - before, kind);
    if (end != 0)
        return before + end;
    return kind == input_kind::lines ? held : 0;
}

// Moves the first length bytes of typed_ahead to line_buffer.
static void take_typed(std::size_t length)
{
    std::memcpy(client.line_buffer.data(), client.typed_ahead.data(), length);
    client.line_buffer[length] = '\0';
    client.typed_ahead_length -= length;
    std::memmove(client.typed_ahead.data(), client.typed_ahead.data() + length, client.typed_ahead_length);
}

bool typed_line_waits()
{
    std::size_t held = client.typed_ahead_length;
    return client.typed_input_ended || held == line_room
           || (held > 0 && line_end(client.typed_ahead.data(), held, kind_of_input()) != 0);
}

std::size_t read_terminal_line()
{
    input_kind kind = kind_of_input();
    const char *ahead = client.typed_ahead.data();
    std::size_t end = line_end(ahead, client.typed_ahead_length, kind);
    if (end == 0 && !client.typed_input_ended && client.typed_ahead_length < line_room)
        end = read_typed(kind);
    // At the end of the input the tail is the last line; a full buffer
    // without a line end is a piece of a long line.
    if (end == 0 && (client.typed_input_ended || client.typed_ahead_length == line_room))
        end = client.typed_ahead_length;
    if (end == 0)
        return 0;
    bool cut = end == line_room && line_end(ahead + end - 1, 1, kind) == 0;
    // A piece cut inside a character leaves its start to the next piece.
    if (cut)
        end -= unfinished_character(ahead, end);
    client.terminal_line_goes_on = cut;
    client.typed_after_cr = ahead[end - 1] == '\r';
    take_typed(end);
    return end;
}

// True when a read of this length stopped in the middle of a line.
static bool stopped_mid_line(std::size_t length)
{
    return length == line_room && client.line_buffer[length - 1] != '\n';
}

// Reads one server line and hands it to the handler, then records its
// time; the rest of an over-long line is dropped. Returns false at the end
// of the stream.
static bool take_server_line()
{
    std::size_t length = read_server_line();
    if (length == 0)
        return false;
    bool rest_of_line = client.server_line_goes_on;
    client.server_line_goes_on = stopped_mid_line(length);
    if (!rest_of_line)
        handle_server_line();
    client.last_server_line = monotonic_seconds();
    return true;
}

// Piped input waits for the welcome: a server that closes before it has
// been sent none of it.
void serve_server_line()
{
    if (take_server_line())
        return;
    if (!client.welcomed && isatty(STDIN_FILENO) != 1)
        exit_with_error("%s", not_sent_message);
    exit_with_error("orv: remote host closed connection\n");
}

// At the end of input, everything sent must still reach the server: a close
// with the server's lines unread would reset the connection, and the server
// would lose what it had not read yet. So the connection is shut down for
// writing, and the server's last lines (the ERROR after a QUIT) are shown
// until it closes the connection, or for five seconds.
[[noreturn]] static void end_of_input()
{
    shutdown(client.server_stream, SHUT_WR);
    client.closing_deadline = monotonic_milliseconds() + closing_grace_ms;
    pollfd server{client.server_stream, POLLIN, 0};
    for (std::int64_t left; (left = client.closing_deadline - monotonic_milliseconds()) > 0;) {
        int ready = poll(&server, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !take_server_line())
            break;
    }
    exit_with_error("%s", input_end_message);
}

// A typed line, or a piece of a long message, costs on the typing clock
// when it sent something to the server.
static void charge_typing_clock(std::uint64_t lines_sent_before)
{
    if (client.lines_sent != lines_sent_before)
        client.typing_clock += typed_line_cost_ms;
}

void serve_terminal_line()
{
    client.typing_clock = std::max(client.typing_clock, monotonic_milliseconds());
    bool rest_of_line = client.terminal_line_goes_on;
    std::size_t length = read_terminal_line();
    if (length == 0 && client.typed_input_ended)
        end_of_input();
    if (length == 0)
        return;
    std::uint64_t sent = client.lines_sent;
    if (rest_of_line)
        handle_terminal_line_rest();
    else
        handle_terminal_line();
    charge_typing_clock(sent);
}

// Sends the next piece of a long chat message, which costs as a typed line.
static void serve_unsent_piece()
{
    client.typing_clock = std::max(client.typing_clock, monotonic_milliseconds());
    std::uint64_t sent = client.lines_sent;
    send_unsent_piece();
    charge_typing_clock(sent);
}

// How long typing must wait before the next line may go: one more line
// must not take the clock past the burst. 0 when it may go now.
static std::int64_t pacing_wait()
{
    std::int64_t wait = client.typing_clock + typed_line_cost_ms - typing_burst_ms - monotonic_milliseconds();
    return std::max<std::int64_t>(wait, 0);
}

void run_event_loop()
{
    // poll, unlike select, takes descriptors of any number: a parent may
    // leave a thousand open, and the socket then lies past select's set.
    pollfd sources[] = {{client.server_stream, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        // Typing, and the pieces of a long message before it, wait while
        // the clock is too far ahead; the wait then lasts until they may go
        // on, and its end is no sign of silence. Before the welcome, typing
        // waits for it.
        std::int64_t paced = pacing_wait();
        if (paced == 0 && client.unsent_text[0] != '\0') {
            serve_unsent_piece();
            continue;
        }
        // A line typed ahead goes when its turn comes, without a wait: the
        // server is only looked at first.
        bool typing = paced == 0 && client.registered;
        bool typed_ahead = typing && typed_line_waits();
        // A negative descriptor is not watched.
        sources[1].fd = typing && !typed_ahead ? STDIN_FILENO : -1;
        int ready = poll(sources, 2, typed_ahead ? 0 : wait_limit(paced));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            exit_with_error("orv: error on select():");
        }
        if (ready == 0 && !typed_ahead) {
            if (paced == 0 || !client.welcomed) // before it, no ping, only the limits
                keep_alive(monotonic_seconds());
            continue;
        }
        // A hang-up or an error is ready too: the read tells which.
        if (sources[0].revents != 0)
            serve_server_line();
        if (typed_ahead || sources[1].revents != 0)
            serve_terminal_line();
    }
}

} // namespace orv
