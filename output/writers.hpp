// The three writers: everything the client says leaves through them. Each
// formats into the client's format_buffer, cutting at 4095 characters, and
// a console line given in parts is cut there too. No writer reports a failed
// write: a dead connection shows up as the end of the server stream at the
// next read.
#pragma once

#include <cstddef>
#include <cstring>

namespace orv {

// A part of a console message: a text and its length, which may stop short
// of the text's terminator.
struct console_text {
    const char *text;
    std::size_t length;
    console_text(const char *whole) : text(whole), length(std::strlen(whole)) {}
    constexpr console_text(const char *start, std::size_t count) : text(start), length(count) {}
};

// Writes one protocol line to the server, ended by carriage return and line
// feed, in one write. The line stops at any carriage return or line feed the
// text holds, so no text can smuggle a second line to the server. Sends
// nothing once the end of input has shut the connection down for writing.
void send_to_server(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one console line to standard output in one write: the column padded
// to 12 characters, a colon, the local date and time, and the message. On a
// terminal, control characters are shown in caret notation (ESC as ^[).
void show_on_console(const char *column, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes the console line show_on_console writes for a message that is the
// parts one after another, taking each where it lies: nothing is formatted,
// and nothing copied unless a terminal needs it escaped. Texts meet at ASCII
// (a literal stands between two), so that no UTF-8 character spans two parts.
void show_parts_on_console(const char *column, const console_text *parts, std::size_t count);
template <std::size_t count>
void show_parts_on_console(const char *column, const console_text (&parts)[count])
{
    show_parts_on_console(column, parts, count);
}

// Writes the message to standard error and ends the process with status 1.
// Control characters in it, but a final line feed, are shown as on a
// terminal's console, wherever standard error goes.
// A format ending in a colon gets a blank, the text of the current errno and
// a line feed appended.
[[noreturn]] void exit_with_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace orv
