#include "lines/terminal_line.hpp"

#include "core/client.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <cstring>

namespace orv {

namespace {
constexpr const char *default_leave_text = "orv - 250 LOC are too much!";
// A line as others receive it is at most 512 bytes with its CR LF, and the
// server puts ":nick!user@host " in front of ours, with the user name and
// host name it gave us: most servers give at most 10 and 63 bytes.
constexpr std::size_t protocol_line_length = 512;
constexpr std::size_t relayed_user_length = 10;
constexpr std::size_t relayed_host_length = 63;
// A target longer than any server takes still leaves room for some words.
constexpr std::size_t shortest_text_budget = 64;
constexpr const char *rest_dropped_notice = "Rest of a long line dropped";
constexpr const char *unwelcomed_notice = "Not sent: not registered yet";
} // namespace

char *advance_while(char *text, bool wanted)
{
    while (*text != '\0' && is_space(*text) == wanted)
        ++text;
    return text;
}

std::size_t text_budget(const char *command, const char *target)
{
    // ":" nick "!" user "@" host " " command " " target " :" text CR LF
    std::size_t framing = 1 + std::strlen(client.nick.data()) + 1 + relayed_user_length + 1
                          + relayed_host_length + 1 + std::strlen(command) + 1 + std::strlen(target) + 2 + 2;
    if (framing + shortest_text_budget > protocol_line_length)
        return shortest_text_budget;
    return protocol_line_length - framing;
}

std::size_t piece_length(const char *text, std::size_t budget)
{
    std::size_t length = std::strlen(text);
    if (length <= budget)
        return length;
    for (std::size_t end = budget; end >= budget - budget / 4 && end > 0; --end)
        if (text[end] == ' ')
            return end;
    return character_start(text, budget);
}

// Shows and sends the first piece of text. Returns the rest, without the
// blank the piece ended at.
static const char *send_piece(const char *target, const char *text)
{
    std::size_t length = piece_length(text, text_budget("PRIVMSG", target));
    show_parts_on_console(target, {"<", client.nick.data(), "> ", {text, length}});
    send_to_server("PRIVMSG %s :%.*s", target, static_cast<int>(length), text);
    text += length;
    return *text == ' ' ? text + 1 : text;
}

void send_message(const char *target, const char *text)
{
    if (*target == '\0') {
        show_on_console("", "No channel to send to");
        return;
    }
    const char *rest = send_piece(target, text);
    strlcpy(client.unsent_target.data(), target, line_capacity);
    strlcpy(client.unsent_text.data(), rest, line_capacity);
}

void send_unsent_piece()
{
    char *text = client.unsent_text.data();
    const char *rest = send_piece(client.unsent_target.data(), text);
    std::memmove(text, rest, std::strlen(rest) + 1);
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
    const char *leave_text = *text != '\0' ? text : default_leave_text;
    std::size_t budget = text_budget("PART", channel), length = std::strlen(leave_text);
    if (length > budget)
        length = character_start(leave_text, budget);
    send_to_server("PART %s :%.*s", channel, static_cast<int>(length), leave_text);
}

// Makes the first word of argument the default channel, so that a channel
// key typed after it ("#keyed sekrit") is never sent as chat text.
static void select_channel(char *argument)
{
    char *rest;
    copy_whole_characters(client.default_channel.data(), take_word(argument, &rest), channel_capacity);
}

// Channel names begin with one of these; "den" names a person, whom plain
// lines must never reach because of a typo in a join.
static bool is_channel_name(const char *name)
{
    return name[0] == '#' || name[0] == '&' || name[0] == '+' || name[0] == '!';
}

// With no default channel yet, makes the first name joined the default,
// when it names a channel: of a list ("#a,bob"), the first name alone, so
// that plain lines never reach a second channel or a person.
static void select_joined_channel(char *argument)
{
    char *rest;
    char *name = take_word(argument, &rest);
    cut_at(name, ',');
    if (client.default_channel[0] == '\0' && is_channel_name(name))
        copy_whole_characters(client.default_channel.data(), name, channel_capacity);
}

// Sends a chat message; the rest of the line, when it is too long for one
// read, goes to the same target.
static void send_chat(const char *target, const char *text)
{
    strlcpy(client.rest_target.data(), target, line_capacity);
    client.terminal_rest = client_record::typed_rest::chat;
    send_message(target, text);
}

static void run_command(char letter, char *argument)
{
    char *text;
    switch (letter) {
    case 'j':
        send_to_server("JOIN %s", argument);
        select_joined_channel(argument);
        break;
    case 'l':
        leave_channel(argument);
        break;
    case 'm': {
        const char *target = take_word(argument, &text);
        send_chat(target, text);
        break;
    }
    default: // 's'
        select_channel(argument);
        break;
    }
}

// Chat, ":j", ":l" and ":m": what a server refuses before it has welcomed
// us. Raw lines (":NICK other", ":PASS secret") and ":s" are not.
static bool needs_welcome(const char *line)
{
    if (line[0] != ':')
        return true;
    return line[1] != '\0' && is_space(line[2]) && std::strchr("jlm", line[1]) != nullptr;
}

void handle_terminal_line()
{
    char *line = client.line_buffer.data();
    client.terminal_rest = client_record::typed_rest::drop; // unless the line is chat
    if (*line == '\0')
        return;
    end_line(line); // a carriage return never reaches the server inside a line
    if (!client.welcomed && needs_welcome(line)) {
        show_on_console("", "%s", unwelcomed_notice);
        client.terminal_rest = client_record::typed_rest::dropped; // the notice covers the rest
        return;
    }
    if (line[0] != ':') {
        send_chat(client.default_channel.data(), line);
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
    if (*line == '\0')
        return;
    switch (client.terminal_rest) {
    case client_record::typed_rest::chat:
        send_message(client.rest_target.data(), line);
        break;
    case client_record::typed_rest::drop:
        show_on_console("", "%s", rest_dropped_notice);
        client.terminal_rest = client_record::typed_rest::dropped;
        break;
    case client_record::typed_rest::dropped:
        break;
    }
}

} // namespace orv
