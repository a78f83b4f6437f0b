// What a typed line means.
#pragma once

#include <cstddef>

namespace orv {

// Handles the typed line in line_buffer, cutting it in place: a plain line
// goes to the default channel; ":j", ":l", ":m" and ":s" followed by
// whitespace join, leave, message and select (":j" selects only a channel,
// a name beginning with #, &, + or !, and only when there is no default
// yet: of a list, its first name or nothing); any other line beginning
// with a colon goes to the server as typed, without the colon. Before the
// welcome only raw lines and ":s" are taken: anything else is not sent,
// and a notice says so. Records where the rest of the line would go.
void handle_terminal_line();

// Handles the rest of an over-long typed line, never as a command: the rest
// of chat (a plain line or ":m") is more chat for the same target; the rest
// of anything else is dropped, with one notice for the line.
void handle_terminal_line_rest();

// Shows the message as our own and sends it to target; with no target,
// shows "No channel to send to" and sends nothing. A text too long for one
// protocol line goes in pieces: the first at once, the rest kept in
// unsent_text for send_unsent_piece.
void send_message(const char *target, const char *text);

// Shows and sends the next piece of unsent_text, keeping the rest there.
void send_unsent_piece();

// How many bytes of text fit in the line "COMMAND target :text" from us as
// others receive it, at most 512 bytes with CR LF and the server's prefix
// ":nick!user@host " in front, budgeted for a 10-byte user and a 63-byte
// host. A target too long for any server still leaves 64 bytes.
std::size_t text_budget(const char *command, const char *target);

// The length of the first piece of text, sent in pieces of at most budget
// bytes: the whole text when it fits; else up to the last blank that leaves
// a piece of at most budget bytes, when that piece fills the budget's last
// quarter (the blank itself is not sent); else the budget, backed up to the
// first byte of a UTF-8 character it would cut.
std::size_t piece_length(const char *text, std::size_t budget);

// Returns the first position from text on where the text has ended or the
// whitespace test of the character differs from wanted: true skips
// whitespace, false skips a word.
char *advance_while(char *text, bool wanted);

} // namespace orv
