// Text routines shared by the line handlers and the writers.
#pragma once

#include <cstddef>
#include <cstring>

// A C library may define its own strlcpy as a fortifying macro, which would
// rewrite orv's below.
#undef strlcpy

namespace orv {

// Copies at most capacity - 1 bytes of source into destination and
// terminates it unless capacity is zero. Returns the length of source, so a
// result not below capacity means the copy was cut.
std::size_t strlcpy(char *destination, const char *source, std::size_t capacity);

// Copies as strlcpy does, but a cut that would split a UTF-8 character falls
// before that character instead, so the copy never ends in part of one.
void copy_whole_characters(char *destination, const char *source, std::size_t capacity);

// Copies source whole when it fits in capacity (at least 4); else as many
// of its whole characters as leave room for "...", which marks the cut.
void copy_shortened(char *destination, const char *source, std::size_t capacity);

// The position of the first byte of the UTF-8 character that the byte at
// position at belongs to: at itself unless that byte continues a character.
std::size_t character_start(const char *text, std::size_t at);

// How many bytes at the end of text, of this length, begin a UTF-8
// character that the text does not finish: 0 when it ends whole.
std::size_t unfinished_character(const char *text, std::size_t length);

// Ends text at the first c. Returns the text after it, or the empty text at
// the end of text when c does not occur.
char *cut_at(char *text, char c);

// Ends text at its first carriage return or line feed: whatever follows is
// not part of the line.
void end_line(char *text);

// Whitespace as the POSIX locale classifies it: blank, tab, line feed,
// vertical tab, form feed and carriage return. Bytes from 128 up never are.
constexpr bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace orv
