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

char *cut_at(char *text, char c)
{
    char *found = std::strchr(text, c);
    if (found == nullptr || c == '\0')
        return text + std::strlen(text);
    *found = '\0';
    return found + 1;
}

void end_line(char *text)
{
    text[std::strcspn(text, "\r\n")] = '\0';
}

} // namespace orv
