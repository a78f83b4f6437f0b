// What a typed line means.
#pragma once

namespace orv {

// Handles the typed line in line_buffer, cutting it in place: a plain line
// goes to the default channel; ":j", ":l", ":m" and ":s" followed by
// whitespace join, leave, message and select; any other line beginning with
// a colon goes to the server as typed, without the colon.
void handle_terminal_line();

// Handles the rest of an over-long typed line: always plain text for the
// default channel, never a command.
void handle_terminal_line_rest();

// Shows the message as our own and sends it to target; with no target,
// shows "No channel to send to" and sends nothing.
void send_message(const char *target, const char *text);

// Returns the first position from text on where the text has ended or the
// whitespace test of the character differs from wanted: true skips
// whitespace, false skips a word.
char *advance_while(char *text, bool wanted);

} // namespace orv
