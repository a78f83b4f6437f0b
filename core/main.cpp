// orv: a minimal IRC client for a text terminal.

#include "core/client.hpp"
#include "core/event_loop.hpp"
#include "core/startup.hpp"

#include <unistd.h>

int main(int argc, char **argv)
{
    orv::open_standard_descriptors();
    orv::client.console_is_terminal = isatty(STDOUT_FILENO) == 1;
    orv::client.console_is_eight_bit = orv::locale_is_eight_bit(); // for standard error too
    orv::take_nick_from_environment(); // before the options, so -n wins
    orv::parse_command_line(argc, argv);
    orv::client.server_stream = orv::connect_to_server(orv::client.host, orv::client.port);
    orv::client.connected_at = orv::monotonic_seconds();
    orv::log_in();
    orv::run_event_loop();
}
