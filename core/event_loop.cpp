#include "core/event_loop.hpp"

#include "core/client.hpp"
#include "lines/server_line.hpp"
#include "lines/terminal_line.hpp"
#include "output/writers.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace orv {

namespace {
constexpr int idle_wait_seconds = 120;
constexpr std::time_t silence_limit_seconds = 300;
// Typed lines are read on the flood-control clock servers keep for their
// clients: each line costs two seconds, and the clock may run up to ten
// seconds ahead of the time. A paste leaves five lines at once, then one
// every two seconds, and the server never drops us for flooding it.
constexpr std::time_t typed_line_cost_seconds = 2;
constexpr std::time_t typing_burst_seconds = 10;
constexpr std::size_t line_room = line_capacity - 1;
// A server line is at most 512 bytes with its CR LF, so a first look this
// long nearly always finds the line feed, without copying the lines queued
// behind it as a look at the whole room would; a longer line gets one more
// look, at the rest of the room.
constexpr std::size_t first_look_length = 512;
} // namespace

std::time_t monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

void keep_alive(std::time_t now)
{
    if (now - client.last_server_line >= silence_limit_seconds)
        exit_with_error("orv shutting down: parse timeout\n");
    send_to_server("PING %s", client.host);
}

// Waits for more of a server line that has partly arrived. The bytes that
// came are server activity, and a link that stalls inside a line is kept
// alive, or given up, as between lines.
static void wait_for_rest_of_line()
{
    client.last_server_line = monotonic_seconds();
    pollfd server{client.server_stream, POLLIN, 0};
    for (;;) {
        int ready = poll(&server, 1, idle_wait_seconds * 1000);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return; // the read tells the rest
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

// A terminal in canonical mode hands over at most one line a read, ended by
// a line feed or by Ctrl-D: what one read gives is the whole line, and
// "abc" then Ctrl-D is sent at once instead of blocking for more.
static bool reads_whole_lines()
{
    termios mode;
    return tcgetattr(STDIN_FILENO, &mode) == 0 && (mode.c_lflag & ICANON) != 0;
}

std::size_t read_terminal_line()
{
    char *line = client.line_buffer.data();
    std::size_t length = 0;
    ssize_t taken;
    if (reads_whole_lines()) {
        do
            taken = read(STDIN_FILENO, line, line_room);
        while (taken < 0 && errno == EINTR);
        length = taken > 0 ? static_cast<std::size_t>(taken) : 0;
    } else {
        // A pipe or a file cannot be peeked at: take a byte at a time,
        // which typed input easily affords.
        while (length < line_room) {
            taken = read(STDIN_FILENO, line + length, 1);
            if (taken < 0 && errno == EINTR)
                continue;
            if (taken <= 0)
                break;
            if (line[length++] == '\n')
                break;
        }
    }
    line[length] = '\0';
    return length;
}

// True when a read of this length stopped in the middle of a line.
static bool stopped_mid_line(std::size_t length)
{
    return length == line_room && client.line_buffer[length - 1] != '\n';
}

void serve_server_line()
{
    std::size_t length = read_server_line();
    if (length == 0)
        exit_with_error("orv: remote host closed connection\n");
    bool rest_of_line = client.server_line_goes_on;
    client.server_line_goes_on = stopped_mid_line(length);
    if (!rest_of_line)
        handle_server_line();
    client.last_server_line = monotonic_seconds();
}

void serve_terminal_line()
{
    client.typing_clock = std::max(client.typing_clock, monotonic_seconds());
    std::size_t length = read_terminal_line();
    if (length == 0)
        exit_with_error("orv: broken pipe\n");
    client.typing_clock += typed_line_cost_seconds;
    bool rest_of_line = client.terminal_line_goes_on;
    client.terminal_line_goes_on = stopped_mid_line(length);
    if (rest_of_line)
        handle_terminal_line_rest();
    else
        handle_terminal_line();
}

// Sends the next piece of a long chat message, which costs as a typed line.
static void serve_unsent_piece()
{
    client.typing_clock = std::max(client.typing_clock, monotonic_seconds()) + typed_line_cost_seconds;
    send_unsent_piece();
}

void run_event_loop()
{
    // poll, unlike select, takes descriptors of any number: a parent may
    // leave a thousand open, and the socket then lies past select's set.
    pollfd sources[] = {{client.server_stream, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        // Typing, and the pieces of a long message before it, wait while
        // the clock is too far ahead; the wait then lasts until they may go
        // on, and its end is no sign of silence.
        std::time_t ahead = client.typing_clock - monotonic_seconds();
        bool paced = ahead >= typing_burst_seconds;
        if (!paced && client.unsent_text[0] != '\0') {
            serve_unsent_piece();
            continue;
        }
        sources[1].fd = paced ? -1 : STDIN_FILENO; // a negative descriptor is not watched
        std::time_t limit = paced ? ahead - typing_burst_seconds + 1 : idle_wait_seconds;
        int ready = poll(sources, 2, static_cast<int>(limit * 1000));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            exit_with_error("orv: error on select():");
        }
        if (ready == 0) {
            if (!paced)
                keep_alive(monotonic_seconds());
            continue;
        }
        // A hang-up or an error is ready too: the read tells which.
        if (sources[0].revents != 0)
            serve_server_line();
        if (sources[1].revents != 0)
            serve_terminal_line();
    }
}

} // namespace orv
