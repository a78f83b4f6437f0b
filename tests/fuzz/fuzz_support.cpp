#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "text/text.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orv_fuzz {

static int console_pipe = -1; // read end of the pipe behind descriptor 1

void capture_console()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
        std::perror("capture_console");
        std::abort();
    }
    close(ends[1]);
    fcntl(ends[0], F_SETPIPE_SZ, 1 << 20); // a console line never blocks
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    console_pipe = ends[0];
}

std::string take_pending(int descriptor)
{
    std::string taken;
    char chunk[65536];
    for (;;) {
        ssize_t got = read(descriptor, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return taken;
        taken.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string take_console()
{
    return take_pending(console_pipe);
}

void reset_client()
{
    orv::client_record &c = orv::client;
    orv::strlcpy(c.nick.data(), "bob", orv::nick_capacity);
    c.host = "irc.test";
    c.port = orv::default_port;
    c.keyword = nullptr;
    c.last_server_line = 0;
    c.line_buffer.fill('\0');
    c.format_buffer.fill('\0');
    c.default_channel.fill('\0');
}

int connect_peer(const std::uint8_t *data, std::size_t size)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    int buffer = 1 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(ends[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    for (std::size_t sent = 0; sent < size;) {
        ssize_t written = write(ends[1], data + sent, size - sent);
        if (written <= 0) {
            std::perror("write to the peer end");
            std::abort();
        }
        sent += static_cast<std::size_t>(written);
    }
    shutdown(ends[1], SHUT_WR);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    orv::client.server_stream = ends[0];
    return ends[1];
}

static void print_escaped(const char *label, std::string_view text)
{
    std::fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
    for (unsigned char c : text.substr(0, 300)) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "%s\"\n", text.size() > 300 ? "..." : "");
}

void fail(const char *what, std::string_view line, std::string_view output)
{
    std::fprintf(stderr, "\nbroken invariant: %s\n", what);
    print_escaped("line", line);
    print_escaped("output", output);
    std::abort();
}

std::string_view check_protocol_line(std::string_view wire, std::string_view line)
{
    if (wire.empty())
        return wire;
    if (wire.size() < 2 || !wire.ends_with("\r\n"))
        fail("a protocol line does not end in CR LF", line, wire);
    std::string_view text = wire.substr(0, wire.size() - 2);
    if (text.find_first_of("\r\n") != std::string_view::npos)
        fail("a CR or LF inside a protocol line (more than one line sent)", line, wire);
    if (text.size() > orv::line_capacity - 1)
        fail("a protocol line longer than format_buffer allows", line, wire);
    return text;
}

std::string_view check_console_line(std::string_view console, std::string_view line,
                                    bool on_terminal)
{
    if (console.empty())
        return console;
    if (console.find('\n') != console.size() - 1)
        fail("not exactly one console line", line, console);
    std::string_view text = console.substr(0, console.size() - 1);
    if (!on_terminal)
        return text;
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            fail("a control character reached the terminal", line, console);
    return text;
}

void check_record_texts(std::string_view line)
{
    const orv::client_record &c = orv::client;
    if (std::memchr(c.nick.data(), '\0', c.nick.size()) == nullptr)
        fail("nick is not terminated within its array", line, {c.nick.data(), c.nick.size()});
    if (std::memchr(c.default_channel.data(), '\0', c.default_channel.size()) == nullptr)
        fail("default_channel is not terminated within its array", line,
             {c.default_channel.data(), c.default_channel.size()});
}

} // namespace orv_fuzz
