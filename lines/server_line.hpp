// What a line from the server means.
#pragma once

namespace orv {

// Handles the server line in line_buffer, cutting it in place: answers PING,
// hides PONG, shows PRIVMSG as "<nick> text" under its target and every
// other message in the generic form ">< COMMAND (parameters): trailing"
// under its origin, and follows our own NICK changes. The welcome (001)
// lets typing begin. Before it, a nickname in use gets another (NICK sent),
// and a refusal of the registration opens typing at a terminal or, from a
// pipe or file, marks the registration refused. Lines without a command
// are ignored.
void handle_server_line();

} // namespace orv
