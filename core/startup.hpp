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
// version banner for -v and with the usage text for a bad option or a
// missing value. Parsing stops quietly at the first argument that is not an
// option, at a lone "-" and after "--".
void parse_command_line(int argc, char **argv);

// Returns a socket connected to the first of host's addresses that accepts.
// Ends the process when the name does not resolve or no address connects.
int connect_to_server(const char *host, const char *port);

// Sends PASS (with -k only), NICK and USER, leaving together.
void log_in();

} // namespace orv
