// Start-up: from the command line to a registered connection. Every failure
// ends the process through exit_with_error.
#pragma once

namespace orv {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// the connection can never take the place of a standard stream.
void open_standard_descriptors();

// Sets nick from USER, or to "unknown" when USER is not set.
void take_nick_from_environment();

// Reads the options into the client record. Ends the process with the
// version banner for -v and with the usage text for a bad option, a missing
// value or an operand: any argument left after the options, a lone "-"
// among them, except a final "--".
void parse_command_line(int argc, char **argv);

// Returns a socket connected to the first of host's addresses that accepts.
// Ends the process when the port is refused, the name does not resolve or
// no address connects (naming host, port and the last attempt's reason). A
// port the resolver would read as a number must be plain digits, 1 to 65535.
int connect_to_server(const char *host, const char *port);

// Sends PASS (with -k only), NICK and USER, leaving together.
void log_in();

// True when the locale (LC_ALL, LC_CTYPE or LANG, as setlocale chooses)
// names a character set other than UTF-8 or the C locale's ASCII: one a
// terminal in an 8-bit mode uses, where every byte 0x80 to 0x9F is a
// control. Leaves the process in the C locale.
bool locale_is_eight_bit();

} // namespace orv
