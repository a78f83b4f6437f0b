#include "core/event_loop.hpp"

#include "core/client.hpp"
#include "lines/server_line.hpp"
#include "lines/terminal_line.hpp"
#include "output/writers.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orv {

namespace {
constexpr int idle_wait_seconds = 120;
constexpr std::time_t silence_limit_seconds = 300;
constexpr std::size_t line_room = line_capacity - 1;
// A server line is at most 512 bytes with its CR LF, so a first look this
// long nearly always finds the line feed, without copying the lines queued
// behind it as a look at the whole room would; a longer line gets one more
// look, at the rest of the room.
constexpr std::size_t first_look_length = 512;
} // namespace

std::size_t read_server_line()
{
    char *line = client.line_buffer.data();
    std::size_t length = 0;
    while (length < line_room) {
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

std::size_t read_terminal_line()
{
    // A pipe or a terminal cannot be peeked at: take a byte at a time, which
    // typed input easily affords.
    char *line = client.line_buffer.data();
    std::size_t length = 0;
    while (length < line_room) {
        ssize_t taken = read(STDIN_FILENO, line + length, 1);
        if (taken < 0 && errno == EINTR)
            continue;
        if (taken <= 0)
            break;
        if (line[length++] == '\n')
            break;
    }
    line[length] = '\0';
    return length;
}

// True when a read of this length stopped in the middle of a line.
static bool stopped_mid_line(std::size_t length)
{
    return length == line_room && client.line_buffer[length - 1] != '\n';
}

static void keep_alive()
{
    if (std::time(nullptr) - client.last_server_line >= silence_limit_seconds)
        exit_with_error("orv shutting down: parse timeout\n");
    send_to_server("PING %s", client.host);
}

void run_event_loop()
{
    const int server = client.server_stream;
    // The rest of an over-long line is never a line of its own: from the
    // server it is dropped, from the terminal it is plain text.
    bool server_line_goes_on = false;
    bool terminal_line_goes_on = false;
    for (;;) {
        // select changes the set and the limit: build both anew each pass.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(STDIN_FILENO, &readable);
        FD_SET(server, &readable);
        timeval limit{idle_wait_seconds, 0};
        int ready = select(server + 1, &readable, nullptr, nullptr, &limit);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            exit_with_error("orv: error on select():");
        }
        if (ready == 0) {
            keep_alive();
            continue;
        }
        if (FD_ISSET(server, &readable)) {
            std::size_t length = read_server_line();
            if (length == 0)
                exit_with_error("orv: remote host closed connection\n");
            bool rest_of_line = server_line_goes_on;
            server_line_goes_on = stopped_mid_line(length);
            if (!rest_of_line)
                handle_server_line();
            client.last_server_line = std::time(nullptr);
        }
        if (FD_ISSET(STDIN_FILENO, &readable)) {
            std::size_t length = read_terminal_line();
            if (length == 0)
                exit_with_error("orv: broken pipe\n");
            bool rest_of_line = terminal_line_goes_on;
            terminal_line_goes_on = stopped_mid_line(length);
            if (rest_of_line)
                handle_terminal_line_rest();
            else
                handle_terminal_line();
        }
    }
}

} // namespace orv
