#include "lines/server_line.hpp"

#include "core/client.hpp"
#include "core/event_loop.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace orv {

namespace {
// How many other nicknames orv tries while the server finds ours in use.
constexpr int alternate_nick_tries = 3;
} // namespace

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

// True when command is one of names.
static bool is_any_of(const char *command, std::initializer_list<const char *> names)
{
    for (const char *name : names)
        if (std::strcmp(command, name) == 0)
            return true;
    return false;
}

// The nickname a refusal names, as the server read ours: its second
// parameter, after our name ("*" before the welcome); ours when it has none.
static const char *refused_nick(char *parameters)
{
    char *nick = parameters + std::strspn(parameters, " ");
    nick += std::strcspn(nick, " ");
    nick += std::strspn(nick, " ");
    cut_at(nick, ' ');
    return *nick != '\0' ? nick : client.nick.data();
}

// The character that replaces the last of a nickname at the length limit:
// "_", then "1", "2"..., never the one it replaces.
static char other_last_character(char last)
{
    if (last == '_')
        return '1';
    return last >= '1' && last < '9' ? static_cast<char>(last + 1) : '_';
}

// A nickname in use gets another: the refused one with "_" appended or, at
// the length the server keeps, its last character replaced, so that the
// server's cut cannot turn it back into the refused one. A refused name
// that is the start of the one we sent shows that length.
static void send_other_nick(char *parameters)
{
    std::array<char, nick_capacity> other;
    copy_whole_characters(other.data(), refused_nick(parameters), nick_capacity);
    std::size_t length = std::strlen(other.data());
    if (length > 0 && length < std::strlen(client.nick.data())
        && std::strncmp(other.data(), client.nick.data(), length) == 0)
        client.nick_limit = std::min(client.nick_limit, length);
    client.nick_lengthened = length < client.nick_limit;
    if (client.nick_lengthened) {
        other[length++] = '_';
    } else {
        length = character_start(other.data(), client.nick_limit - 1);
        other[length] = other_last_character(other[length]);
        ++length;
    }
    other[length] = '\0';
    ++client.nick_tries;
    strlcpy(client.nick.data(), other.data(), nick_capacity);
    send_to_server("NICK %s", client.nick.data());
}

// Replies to the registration before the welcome. A nickname in use gets
// another, a few times. A refusal no other nickname mends (an erroneous
// nickname, a password refused or asked for, a nickname still in use) lets
// a person at a terminal type its answer; from a pipe or file, as after a
// ban, no welcome can come, and the input is never sent.
static void answer_registration_reply(const char *command, char *parameters)
{
    bool in_use = is_any_of(command, {"433", "436", "437"});
    if (in_use && client.nick_tries < alternate_nick_tries) {
        send_other_nick(parameters);
        return;
    }
    // ngIRCd and InspIRCd refuse a nickname longer than they take, rather
    // than cut it: the one we lengthened shows their limit.
    std::size_t sent_length = std::strlen(client.nick.data());
    if (std::strcmp(command, "432") == 0 && client.nick_lengthened && sent_length > 1
        && client.nick_tries < alternate_nick_tries) {
        client.nick_limit = sent_length - 1;
        send_other_nick(parameters);
        return;
    }
    bool person_may_answer = in_use || is_any_of(command, {"432", "464"});
    if (!person_may_answer && std::strcmp(command, "465") != 0)
        return;
    if (isatty(STDIN_FILENO) == 1) {
        client.registered = client.registered || person_may_answer;
        return;
    }
    if (!client.registration_refused)
        client.refused_at = monotonic_milliseconds();
    client.registration_refused = true;
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
    if (std::strcmp(command, "NICK") == 0 && std::strcmp(origin, client.nick.data()) == 0) {
        copy_whole_characters(client.nick.data(), has_trailing ? trailing : last_parameter(parameters),
                              nick_capacity);
    } else if (std::strcmp(command, "001") == 0) {
        client.welcomed = client.registered = true; // typing may begin
        take_registered_nick(parameters);
    } else if (!client.welcomed) {
        answer_registration_reply(command, parameters);
    }
}

} // namespace orv
