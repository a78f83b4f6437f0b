#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

namespace orv_fuzz {

fake_world world;

static std::uint8_t choose()
{
    return world.choices[world.next_choice++ % sizeof world.choices];
}

void begin(const std::uint8_t *data, std::size_t size, bool with_header)
{
    std::uint8_t header[header_size] = {};
    std::size_t header_length = with_header ? std::min(size, header_size) : 0;
    std::memcpy(header, data, header_length);
    world = fake_world{};
    world.input = {reinterpret_cast<const char *>(data) + header_length, size - header_length};
    world.canonical_terminal = (header[0] & 2) != 0;
    world.interrupting = (header[0] & 4) != 0;
    std::memcpy(world.choices, header + 1, sizeof world.choices);
    auto time_text = orv::client.time_text; // the writer formats it once a minute
    orv::client = orv::client_record{};
    orv::client.time_text = time_text;
    orv::strlcpy(orv::client.nick.data(), "bob", orv::nick_capacity);
    orv::client.host = fake_host;
    orv::client.welcomed = orv::client.registered = true;
    orv::client.server_stream = 3; // any number: no descriptor is ever opened
    orv::client.console_is_terminal = (header[0] & 1) != 0;
    orv::client.console_is_eight_bit = (header[0] & 9) == 9;
}

bool exits(void (*call)())
{
    std::jmp_buf trap;
    if (setjmp(trap) == 0) {
        world.exit_trap = &trap;
        call();
        world.exit_trap = nullptr;
        return false;
    }
    world.exit_trap = nullptr;
    return true;
}

void arrive()
{
    std::size_t left = world.input.size() - world.arrived;
    if (left == 0)
        return;
    std::uint8_t count = choose();
    world.arrived += count == 0 ? left : std::min<std::size_t>(count, left);
    world.last_byte_time = world.now;
}

// Appends up to limit bytes of the pieces to out; returns how many.
static std::size_t collect(std::string &out, const iovec *pieces, std::size_t count,
                           std::size_t limit)
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < count && written < limit; ++i) {
        std::size_t length = std::min(pieces[i].iov_len, limit - written);
        out.append(static_cast<const char *>(pieces[i].iov_base), length);
        written += length;
    }
    return written;
}

// A write as the choices have it: whole, short, or failed with EAGAIN or
// EINTR, never failed twice in a row.
static ssize_t fake_write(std::string &out, const iovec *pieces, std::size_t count)
{
    if (world.must_wait_writable)
        fail("a write tried again after EAGAIN without waiting", world.input, out);
    if (std::all_of(pieces, pieces + count, [](const iovec &piece) { return piece.iov_len == 0; }))
        fail("a write of no byte: a system call for nothing", world.input, out);
    std::uint8_t choice = world.last_write_failed ? 0 : choose();
    world.last_write_failed = choice >= 0xc0 && choice < 0xe0;
    if (world.last_write_failed) {
        errno = choice < 0xd0 ? EAGAIN : EINTR;
        world.must_wait_writable = errno == EAGAIN;
        return -1;
    }
    std::size_t limit = choice >= 0xe0 ? (choice & 0x1fu) + 1 : SIZE_MAX;
    return static_cast<ssize_t>(collect(out, pieces, count, limit));
}

void fail(const char *what, std::string_view line, std::string_view output)
{
    auto print_escaped = [](const char *label, std::string_view text) {
        std::fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
        for (unsigned char c : text.substr(0, 400)) {
            if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
                std::fputc(c, stderr);
            else
                std::fprintf(stderr, "\\x%02x", c);
        }
        std::fprintf(stderr, "%s\"\n", text.size() > 400 ? "..." : "");
    };
    std::fprintf(stderr, "\nbroken invariant: %s\n", what);
    print_escaped("line", line);
    print_escaped("output", output);
    std::abort();
}

void check_protocol_lines(std::string_view wire, std::string_view line)
{
    std::size_t start = 0; // of the protocol line being looked at
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != '\r' && wire[i] != '\n')
            continue;
        if (wire.substr(i, 2) != "\r\n")
            fail("a protocol line does not end in one CR LF, or holds another CR or LF", line, wire);
        if (i - start > orv::line_capacity - 1)
            fail("a protocol line longer than format_buffer allows", line, wire);
        start = ++i + 1;
    }
    if (start != wire.size())
        fail("a protocol line does not end in CR LF", line, wire);
}

void check_console_line(std::string_view console, std::string_view line)
{
    if (console.empty())
        return;
    if (console.find('\n') != console.size() - 1)
        fail("not exactly one console line", line, console);
    if (!orv::client.console_is_terminal)
        return;
    for (std::size_t i = 0; i + 1 < console.size(); ++i) {
        auto c = static_cast<unsigned char>(console[i]);
        auto next = static_cast<unsigned char>(console[i + 1]);
        if ((c < 0x20 && c != '\t') || c == 0x7f || (c == 0xc2 && next >= 0x80 && next <= 0x9f)
            || (orv::client.console_is_eight_bit && c >= 0x80 && c <= 0x9f))
            fail("a control character reached the terminal", line, console);
    }
}

std::string_view kept_nick(std::string_view nick)
{
    std::size_t end = orv::nick_capacity - 1, continuations = 0;
    if (nick.size() <= end)
        return nick;
    while (continuations < 3 && (nick[end - continuations] & 0xc0) == 0x80)
        ++continuations;
    return nick.substr(0, end - continuations);
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

std::string_view line_text(std::string_view piece)
{
    std::size_t length = 0;
    while (length < piece.size() && piece[length] != '\0' && piece[length] != '\r'
           && piece[length] != '\n')
        ++length;
    return piece.substr(0, length);
}

std::string protocol_line(std::string_view text)
{
    return std::string(text.substr(0, orv::line_capacity - 1)) + "\r\n";
}

// Each handler call must get exactly the bytes read for it.
static void note_handler(int &calls)
{
    ++calls;
    std::string_view piece = world.input.substr(world.piece_start, world.taken - world.piece_start
                                                                       - orv::client.typed_ahead_length);
    if (world.split_cr_lf && piece.starts_with('\n'))
        piece.remove_prefix(1);
    const char *buffer = orv::client.line_buffer.data();
    if (piece.size() > line_room || piece.compare(0, piece.size(), buffer, piece.size()) != 0
        || buffer[piece.size()] != '\0')
        fail("the handler was given other bytes than were read", piece,
             {buffer, std::min(piece.size() + 1, orv::line_capacity)});
}

} // namespace orv_fuzz

using orv_fuzz::world;

extern "C" {

// The wrapped system calls: only the client calls them, so they always play
// their part in the world (but exit, which libFuzzer calls too).

// True when this call is to fail with EINTR: every other one of its kind,
// with flag 4.
static bool interrupt(bool &interrupted)
{
    interrupted = world.interrupting && !interrupted;
    errno = interrupted ? EINTR : errno;
    return interrupted;
}

static ssize_t hand_over(void *buffer, std::size_t length, std::size_t end, bool take)
{
    std::size_t got = std::min(length, end - world.taken);
    std::memcpy(buffer, world.input.data() + world.taken, got);
    world.taken += take ? got : 0;
    return static_cast<ssize_t>(got);
}

ssize_t __wrap_recv(int, void *buffer, std::size_t length, int flags)
{
    if (interrupt(world.recv_interrupted))
        return -1;
    if (world.arrived == world.taken && world.arrived < world.input.size())
        orv_fuzz::fail("a read waits for bytes that have not come: a stalled link freezes orv",
                       world.input.substr(world.piece_start), "");
    return hand_over(buffer, length, world.arrived, (flags & MSG_PEEK) == 0);
}

// Standard input: a pipe hands over what is asked; a canonical terminal
// at most the line being typed, up to its line feed or a Ctrl-D, or two
// lines typed ahead.
ssize_t __wrap_read(int, void *buffer, std::size_t length)
{
    if (interrupt(world.read_interrupted))
        return -1;
    ++world.reads;
    if (world.canonical_terminal && world.typed_end <= world.taken) {
        world.typed_end = std::min(world.input.find('\n', world.taken), world.input.size() - 1) + 1;
        std::uint8_t choice = orv_fuzz::choose();
        if (choice >= 0xd0 && choice < 0xe0 && world.typed_end < world.input.size())
            world.typed_end = std::min(world.input.find('\n', world.typed_end), world.input.size() - 1) + 1;
        if (choice >= 0xe0)
            world.typed_end = std::min(world.typed_end, world.taken + (choice & 0x1fu) + 1);
    }
    std::size_t end = world.canonical_terminal ? world.typed_end : world.input.size();
    return hand_over(buffer, length, end, true);
}

ssize_t __wrap_sendmsg(int, const msghdr *message, int)
{
    return orv_fuzz::fake_write(world.wire, message->msg_iov, message->msg_iovlen);
}

ssize_t __wrap_writev(int descriptor, const iovec *pieces, int count)
{
    return orv_fuzz::fake_write(descriptor == STDOUT_FILENO ? world.console : world.error, pieces,
                                static_cast<std::size_t>(count));
}

// A wait to write, which has no time limit but the socket's, ends writable. A wait for the
// rest of a server line ends at once while bytes are queued or the stream
// has ended; else it times out as the choices have it,
// the clock moving on by its limit, which owes a keep-alive PING, or the
// exit once the server has been silent for 300 seconds.
int __wrap_poll(pollfd *descriptor, nfds_t, int timeout)
{
    descriptor->revents = descriptor->events;
    if ((descriptor->events & POLLOUT) != 0) {
        if (timeout != (descriptor->fd == orv::client.server_stream ? 300'000 : -1))
            orv_fuzz::fail("a wait to write that can end before the output takes more: a busy loop", world.input, "");
        world.must_wait_writable = false;
        return 1;
    }
    if (timeout <= 5000) { // for the server's last lines after the end of input: none come
        world.now += (timeout + 999) / 1000;
        return 0;
    }
    if (timeout != 120'000)
        orv_fuzz::fail("a wait for the server other than the 120-second idle wait", world.input, "");
    if (interrupt(world.poll_interrupted))
        return -1;
    if (world.arrived > world.taken || world.arrived == world.input.size())
        return 1; // bytes, or the end of the stream, are there to read
    if (world.stalls_left < 0) {
        std::uint8_t choice = orv_fuzz::choose();
        world.stalls_left = choice >= 0xf0 ? choice & 3 : 0;
    }
    if (world.stalls_left == 0) {
        world.stalls_left = -1;
        orv_fuzz::arrive();
        return 1;
    }
    --world.stalls_left;
    world.now += timeout / 1000;
    if (world.now - world.last_byte_time >= 300)
        world.expected_exit = "orv shutting down: parse timeout\n";
    else
        world.expected_wire += std::string("PING ") + orv_fuzz::fake_host + "\r\n";
    descriptor->revents = 0;
    return 0;
}

int __wrap_shutdown(int, int) { return 0; }

int __wrap_tcgetattr(int, termios *mode)
{
    *mode = termios{};
    mode->c_lflag = ICANON;
    errno = ENOTTY;
    return world.canonical_terminal ? 0 : -1;
}

std::time_t __wrap_time(std::time_t *result)
{
    return result != nullptr ? *result = world.now : world.now;
}

int __wrap_clock_gettime(clockid_t, timespec *now)
{
    *now = {world.now, 0};
    return 0;
}

[[noreturn]] void __real_exit(int);
[[noreturn]] void __wrap_exit(int status)
{
    if (world.exit_trap == nullptr)
        __real_exit(status);
    world.exit_status = status;
    std::longjmp(*world.exit_trap, 1);
}

// The handlers, as the event loop calls them.
#define NOTE_HANDLER(symbol, calls)                                                                \
    void __real_##symbol();                                                                        \
    void __wrap_##symbol()                                                                         \
    {                                                                                              \
        orv_fuzz::note_handler(world.calls);                                                       \
        __real_##symbol();                                                                         \
    }
NOTE_HANDLER(_ZN3orv18handle_server_lineEv, handled_lines)
NOTE_HANDLER(_ZN3orv20handle_terminal_lineEv, handled_lines)
NOTE_HANDLER(_ZN3orv25handle_terminal_line_restEv, handled_rests)

} // extern "C"
