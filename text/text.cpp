#include "text/text.hpp"

#include <cstring>

namespace orv {

std::size_t strlcpy(char *destination, const char *source, std::size_t capacity)
{
    std::size_t length = std::strlen(source);
    if (capacity == 0)
        return length;
    std::size_t copied = length < capacity ? length : capacity - 1;
    std::memcpy(destination, source, copied);
    destination[copied] = '\0';
    return length;
}

void copy_whole_characters(char *destination, const char *source, std::size_t capacity)
{
    // The first byte left out may continue a character: the cut backs off
    // to that character's start.
    if (strlcpy(destination, source, capacity) >= capacity && capacity > 0)
        destination[character_start(source, capacity - 1)] = '\0';
}

void copy_shortened(char *destination, const char *source, std::size_t capacity)
{
    if (strlcpy(destination, source, capacity) < capacity)
        return;
    copy_whole_characters(destination, source, capacity - 3);
    std::memcpy(destination + std::strlen(destination), "...", 4);
}

std::size_t character_start(const char *text, std::size_t at)
{
    auto continues = [&] { return (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80; }; // 10xxxxxx
    for (int back = 0; back < 3 && at > 0 && continues(); ++back) // a character has 4 bytes at most
        --at;
    return at;
}

std::size_t unfinished_character(const char *text, std::size_t length)
{
    if (length == 0)
        return 0;
    std::size_t start = character_start(text, length - 1);
    auto lead = static_cast<unsigned char>(text[start]);
    std::size_t needed = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    return start + needed > length ? length - start : 0;
}

char *cut_at(char *text, char c)
{
    // The fields of a line are short: a plain loop costs less than a call.
    while (*text != '\0' && *text != c)
        ++text;
    if (*text == '\0')
        return text;
    *text = '\0';
    return text + 1;
}

void end_line(char *text)
{
    // A search for each byte: a C library's strcspn may go a byte at a time.
    if (char *found = std::strchr(text, '\r'); found != nullptr)
        *found = '\0';
    if (char *found = std::strchr(text, '\n'); found != nullptr)
        *found = '\0';
}

} // namespace orv
