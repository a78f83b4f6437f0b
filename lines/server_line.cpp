#include "lines/server_line.hpp"

#include "core/client.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <cstring>

namespace orv {

static void trim_trailing_space(char *text)
{
    std::size_t length = std::strlen(text);
    while (length > 0 && is_space(text[length - 1]))
        text[--length] = '\0';
}

// The server may omit the colon before a one-word last parameter: the
// commands orv acts on then take their argument from the last word.
static char *last_parameter(char *parameters)
{
    char *space = std::strrchr(parameters, ' ');
    return space != nullptr ? space + 1 : parameters;
}

// The welcome's first parameter is the nickname the server registered us
// under: it may have shortened ours, or we may have picked another after a
// refusal. Blanks may stand before it; a welcome of blanks names nobody.
static void take_registered_nick(char *parameters)
{
    char *first = parameters + std::strspn(parameters, " ");
    if (*first == '\0')
        return;
    cut_at(first, ' ');
    copy_whole_characters(client.nick.data(), first, nick_capacity);
}

// Typing may begin once the server has welcomed us, or has answered with
// an error reply (400 to 599) that the user must act on, as a nickname in
// use asks for another.
static bool lets_typing_begin(const char *command)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return std::strcmp(command, "001") == 0
           || ((command[0] == '4' || command[0] == '5') && digit(command[1]) && digit(command[2]) && command[3] == '\0');
}

static void show_chat_message(const char *origin, char *parameters, const char *trailing,
                              bool has_trailing)
{
    char *text = has_trailing ? parameters : last_parameter(parameters);
    if (text != parameters) {
        text[-1] = '\0'; // the target is all that comes before the text
        trim_trailing_space(parameters);
        trailing = text;
    }
    show_parts_on_console(parameters, {"<", origin, "> ", trailing});
}

void handle_server_line()
{
    char *line = client.line_buffer.data();
    end_line(line); // a bare line feed ends a line as well as CR LF does
    if (*line == '\0')
        return;
    const char *origin = client.host;
    char *rest = line;
    if (*line == ':') {
        char *space = std::strchr(line + 1, ' ');
        if (space == nullptr)
            return;
        *space = '\0';
        rest = space + 1;
        if (*rest == '\0')
            return;
        cut_at(line + 1, '!'); // nick!user@host: the nick alone
        origin = line + 1;
    }
    char *command = rest;
    char *parameters = cut_at(command, ' ');
    char *trailing = cut_at(parameters, ':');
    bool has_trailing = trailing != parameters && trailing[-1] == '\0'; // the colon, cut
    trim_trailing_space(parameters);

    if (std::strcmp(command, "PONG") == 0)
        return;
    if (std::strcmp(command, "PRIVMSG") == 0) {
        show_chat_message(origin, parameters, trailing, has_trailing);
        return;
    }
    if (std::strcmp(command, "PING") == 0) {
        send_to_server("PONG %s", has_trailing ? trailing : last_parameter(parameters));
        return;
    }
    show_parts_on_console(origin, {">< ", command, " (", parameters, "): ", trailing});
    if (std::strcmp(command, "NICK") == 0 && std::strcmp(origin, client.nick.data()) == 0)
        copy_whole_characters(client.nick.data(), has_trailing ? trailing : last_parameter(parameters),
                              nick_capacity);
    else if (std::strcmp(command, "001") == 0)
        take_registered_nick(parameters);
    if (lets_typing_begin(command))
        client.registered = true;
}

} // namespace orv
