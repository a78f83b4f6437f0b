#include "lines/terminal_line.hpp"

#include "core/client.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <cstring>

namespace orv {

namespace {
constexpr const char *default_leave_text = "orv - 250 LOC are too much!";
} // namespace

char *advance_while(char *text, bool wanted)
{
    while (*text != '\0' && is_space(*text) == wanted)
        ++text;
    return text;
}

void send_message(const char *target, const char *text)
{
    if (*target == '\0') {
        show_on_console("", "No channel to send to");
        return;
    }
    show_on_console(target, "<%s> %s", client.nick.data(), text);
    send_to_server("PRIVMSG %s :%s", target, text);
}

// Ends the first word of argument and returns it; rest is set to what
// follows the one whitespace character that ended the word.
static char *take_word(char *argument, char **rest)
{
    char *word = advance_while(argument, true);
    char *end = advance_while(word, false);
    *rest = end;
    if (*end != '\0') {
        *end = '\0';
        *rest = end + 1;
    }
    return word;
}

static void leave_channel(char *argument)
{
    char *text;
    const char *channel = take_word(argument, &text);
    if (*channel == '\0')
        channel = client.default_channel.data();
    send_to_server("PART %s :%s", channel, *text != '\0' ? text : default_leave_text);
}

// Makes the first word of argument the default channel, so that a channel
// key typed after it ("#keyed sekrit") is never sent as chat text.
static void select_channel(char *argument)
{
    char *rest;
    strlcpy(client.default_channel.data(), take_word(argument, &rest), channel_capacity);
}

static void run_command(char letter, char *argument)
{
    char *text;
    switch (letter) {
    case 'j':
        send_to_server("JOIN %s", argument);
        if (client.default_channel[0] == '\0')
            select_channel(argument);
        break;
    case 'l':
        leave_channel(argument);
        break;
    case 'm': {
        const char *target = take_word(argument, &text);
        send_message(target, text);
        break;
    }
    default: // 's'
        select_channel(argument);
        break;
    }
}

void handle_terminal_line()
{
    char *line = client.line_buffer.data();
    if (*line == '\0')
        return;
    end_line(line); // a carriage return never reaches the server inside a line
    if (line[0] != ':') {
        send_message(client.default_channel.data(), line);
        return;
    }
    char letter = line[1];
    // A command letter is always followed by whitespace: ":j" alone is raw.
    if (letter != '\0' && is_space(line[2]) && std::strchr("jlms", letter) != nullptr) {
        run_command(letter, line + 3);
        return;
    }
    send_to_server("%s", line + 1);
}

void handle_terminal_line_rest()
{
    char *line = client.line_buffer.data();
    end_line(line);
    if (*line != '\0')
        send_message(client.default_channel.data(), line);
}

} // namespace orv
