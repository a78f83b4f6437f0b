#include "output/writers.hpp"

#include "core/client.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace orv {

namespace {
constexpr std::size_t column_width = 12;
// What stands between the column and the message: the column's padding, which
// a column skips as much of as it fills, the colon and the timestamp.
constexpr char stamp_format[] = "            : %Y-%m-%d %R ";
constexpr char no_stamp[] = "            :  ";
static_assert(stamp_format[column_width] == ':' && no_stamp[column_width] == ':');
// A server that has taken nothing we sent for this long is as dead as one
// that has said nothing.
constexpr int stalled_send_limit_ms = 300'000;
// A console text in caret notation takes at most three bytes per byte (a
// lone 0x9B becomes ^[[).
char escaped_column[3 * line_capacity];
char escaped_message[3 * line_capacity];
} // namespace

static std::size_t format_text(const char *format, va_list arguments)
{
    int length = std::vsnprintf(client.format_buffer.data(), client.format_buffer.size(), format,
                                arguments);
    if (length < 0) {
        client.format_buffer[0] = '\0';
        return 0;
    }
    return std::min(static_cast<std::size_t>(length), client.format_buffer.size() - 1);
}

#if !defined(MSG_NOSIGNAL) && !defined(SO_NOSIGPIPE)
static bool pipe_signal_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}
#endif

// A socket the peer dropped fails a send with EPIPE and never raises
// SIGPIPE: by the send's flag where there is one, by the socket option
// start-up sets wherever there is that (systems with both get both), and
// elsewhere by holding the signal back during the send and taking the one
// it raised before letting it through again.
static ssize_t send_quietly(int descriptor, const msghdr &message)
{
#if defined(MSG_NOSIGNAL)
    return sendmsg(descriptor, &message, MSG_NOSIGNAL);
#elif defined(SO_NOSIGPIPE)
    return sendmsg(descriptor, &message, 0);
#else
    sigset_t pipe_signal, previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_signal, &previous);
    bool was_pending = pipe_signal_pending();
    ssize_t written = sendmsg(descriptor, &message, 0);
    int error = errno;
    if (written < 0 && error == EPIPE && !was_pending && pipe_signal_pending()) {
        int taken;
        sigwait(&pipe_signal, &taken);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
#endif
}

// Writes all the pieces, going on after signals and short writes, and
// waiting when the descriptor is non-blocking and full; gives up silently
// on any other failure. A socket never raises SIGPIPE, and a server that
// takes nothing for 300 seconds ends the process.
static void write_all(int descriptor, iovec *pieces, int count, bool is_socket)
{
    while (count > 0) {
        ssize_t written;
        if (is_socket) {
            msghdr message{};
            message.msg_iov = pieces;
            message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
            written = send_quietly(descriptor, message);
        } else {
            written = writev(descriptor, pieces, count);
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            // The socket is non-blocking, and so may be a standard stream
            // another program shares: wait as a blocking write would,
            // rather than lose the rest.
            pollfd writable{descriptor, POLLOUT, 0};
            if (poll(&writable, 1, is_socket ? stalled_send_limit_ms : -1) == 0)
                exit_with_error("orv shutting down: send timeout\n");
            continue;
        }
        if (written <= 0)
            return;
        auto left = static_cast<std::size_t>(written);
        for (; count > 0 && left >= pieces->iov_len; ++pieces, --count)
            left -= pieces->iov_len;
        if (count > 0) {
            pieces->iov_base = static_cast<char *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
}

static iovec piece(const char *text, std::size_t length)
{
    return {const_cast<char *>(text), length};
}

void send_to_server(const char *format, ...)
{
    if (client.closing_deadline != 0)
        return; // the connection is shut down for writing
    va_list arguments;
    va_start(arguments, format);
    format_text(format, arguments);
    va_end(arguments);
    const char *line = client.format_buffer.data();
    iovec pieces[] = {piece(line, std::strcspn(line, "\r\n")), piece("\r\n", 2)};
    write_all(client.server_stream, pieces, 2, true);
    ++client.lines_sent;
}

#if defined(__linux__) && !defined(__GLIBC__)
// A zone given as a POSIX rule with a daylight saving name but no dates
// (TZ=CET-1CEST, EST5EDT) leaves the dates to the C library. glibc and the
// BSDs take the United States' then (from the second Sunday in March to the
// first in November); musl reads it as daylight saving time all year, an
// hour ahead in winter. orv gives musl the same dates, in place of the TZ
// entry, so that nothing is allocated; once given, TZ holds a comma and this
// does nothing more.
static void complete_time_zone_rule()
{
    static char completed[128];
    const char *zone = std::getenv("TZ");
    if (zone == nullptr || zone[0] == ':' || std::strpbrk(zone, "/,") != nullptr)
        return; // unset, a file, or with its dates
    const char *rest = zone;
    if (*rest == '<') { // a quoted name, such as <+03>
        rest = std::strchr(rest, '>');
        if (rest == nullptr)
            return;
        ++rest;
    }
    rest += std::strspn(rest, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    if (rest == zone || std::strspn(rest, "+-0123456789:") == 0)
        return; // no offset: a file name such as Japan, or UTC
    rest += std::strspn(rest, "+-0123456789:");
    if (*rest == '\0')
        return; // no daylight saving time
    int length = std::snprintf(completed, sizeof completed, "TZ=%s,M3.2.0,M11.1.0", zone);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof completed)
        return;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "TZ=", 3) == 0) {
            *entry = completed;
            return;
        }
}
#else
static void complete_time_zone_rule() {}
#endif

// Formats the stamp into time_text when the minute has changed since the last
// console line. Returns its length.
static std::size_t update_time_text()
{
    // No minute shown yet. Not -1: the clock may stand in that minute
    // (1969-12-31 23:58 UTC), whose stamp would then be left empty.
    static std::time_t shown_minute = std::numeric_limits<std::time_t>::min();
    static std::size_t length = 0;
    std::time_t now = std::time(nullptr);
    if (now / 60 == shown_minute)
        return length;
    shown_minute = now / 60;
    complete_time_zone_rule();
    const std::tm *local = std::localtime(&now);
    length = local == nullptr ? 0
                              : std::strftime(client.time_text.data(), client.time_text.size(),
                                              stamp_format, local);
    if (length == 0) // no time to show
        length = strlcpy(client.time_text.data(), no_stamp, client.time_text.size());
    return length;
}

// The length of the well-formed UTF-8 character of two or more bytes that
// begins text, or 0 when none does.
static std::size_t utf8_length(const unsigned char *text, std::size_t left)
{
    unsigned char lead = text[0], low = 0x80, high = 0xbf; // the second byte's range
    if (lead < 0xc2 || lead > 0xf4)
        return 0;
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    if (lead == 0xe0 || lead == 0xf0)
        low = lead == 0xe0 ? 0xa0 : 0x90; // no overlong forms
    if (lead == 0xed || lead == 0xf4)
        high = lead == 0xed ? 0x9f : 0x8f; // no surrogates, nothing past U+10FFFF
    if (left < length || text[1] < low || text[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((text[i] & 0xc0) != 0x80)
            return 0;
    return length;
}

// Copies text into out with each control character other than tab written
// as a caret and a letter (ESC as ^[, DEL as ^?). The C1 controls, which
// terminals obey as ESC and a letter, are shown as that, whether written in
// UTF-8 (U+0080 to U+009F) or as a byte 0x80 to 0x9F outside any UTF-8
// character, which a terminal in an 8-bit mode obeys: U+009B and 0x9B, the
// one-character CSI, both as ^[[. Where the locale says the terminal is in
// such a mode, no byte is read as part of a UTF-8 character: every byte 0x80
// to 0x9F is a C1 control (in C4 9B, "ě" in UTF-8, too). Returns the length.
static std::size_t escape_controls(const char *text, std::size_t length, char *out)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = bytes[i];
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            out[used++] = '^';
            out[used++] = static_cast<char>(c ^ 0x40);
            continue;
        }
        std::size_t character = c < 0x80                      ? 1
                                : client.console_is_eight_bit ? 0 // no UTF-8 character at all
                                                              : utf8_length(bytes + i, length - i);
        unsigned char control = character == 0 && c < 0xa0                      ? c
                                : character == 2 && c == 0xc2 && bytes[i + 1] < 0xa0 ? bytes[i + 1]
                                                                                     : 0;
        if (control != 0) {
            out[used++] = '^';
            out[used++] = '[';
            out[used++] = static_cast<char>(control - 0x40);
            i += character == 2 ? 1 : 0;
            continue;
        }
        character = std::max<std::size_t>(character, 1); // a lone byte from 0xA0 up passes
        std::memcpy(out + used, bytes + i, character);
        used += character;
        i += character - 1;
    }
    return used;
}

// Copies a part of a console message into out, escaped for a terminal.
// Returns the length written.
static std::size_t gather_part(const char *text, std::size_t length, char *out)
{
    if (client.console_is_terminal)
        return escape_controls(text, length, out);
    std::memcpy(out, text, length);
    return length;
}

// To a pipe, the parts are written where they lie, in eight pieces at most,
// as many as the kernel takes without allocating: a message of more than five
// parts has its first ones gathered in format_buffer (none lies there). For a
// terminal, all are escaped one after another into one text.
void show_parts_on_console(const char *column, const console_text *parts, std::size_t count)
{
    constexpr std::size_t most_pieces = 8, most_parts = most_pieces - 3; // and column, stamp, "\n"
    std::size_t column_length = std::strlen(column);
    if (client.console_is_terminal) {
        column_length = escape_controls(column, column_length, escaped_column);
        column = escaped_column;
    }
    std::size_t filled = std::min(column_length, column_width);
    iovec pieces[most_pieces] = {piece(column, column_length),
                                 piece(client.time_text.data() + filled, update_time_text() - filled)};
    int used = 2;
    std::size_t gathered = client.console_is_terminal ? count
                           : count > most_parts       ? count - (most_parts - 1)
                                                      : 0;
    char *text = client.console_is_terminal ? escaped_message : client.format_buffer.data();
    std::size_t text_length = 0;
    // The message is cut where format_buffer would cut it.
    std::size_t room = client.format_buffer.size() - 1;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = std::min(parts[i].length, room);
        room -= length;
        if (i < gathered)
            text_length += gather_part(parts[i].text, length, text + text_length);
        if (i + 1 == gathered)
            pieces[used++] = piece(text, text_length);
        if (i >= gathered)
            pieces[used++] = piece(parts[i].text, length);
    }
    pieces[used++] = piece("\n", 1);
    write_all(STDOUT_FILENO, pieces, used, false);
}

void show_on_console(const char *column, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::size_t length = format_text(format, arguments);
    va_end(arguments);
    show_parts_on_console(column, {{client.format_buffer.data(), length}});
}

void exit_with_error(const char *format, ...)
{
    int error = errno;
    va_list arguments;
    va_start(arguments, format);
    std::size_t length = format_text(format, arguments);
    va_end(arguments);
    // Whatever standard error is, a value the message quotes cannot drive a
    // terminal: its control bytes are shown as on the console.
    const char *message = client.format_buffer.data();
    bool line_end = length > 0 && message[length - 1] == '\n';
    length = escape_controls(message, length - (line_end ? 1 : 0), escaped_message);
    iovec pieces[] = {piece(escaped_message, length), piece("", 0), piece("", 0),
                      piece("\n", line_end ? 1 : 0)};
    std::size_t format_length = std::strlen(format);
    if (format_length > 0 && format[format_length - 1] == ':') {
        const char *reason = std::strerror(error);
        pieces[1] = piece(" ", 1);
        pieces[2] = piece(reason, std::strlen(reason));
        pieces[3] = piece("\n", 1);
    }
    write_all(STDERR_FILENO, pieces, 4, false);
    std::exit(1);
}

} // namespace orv
