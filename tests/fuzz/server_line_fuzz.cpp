// Bytes from a hostile server, read and handled as the event loop does: each
// line read from server_stream goes to handle_server_line, and the rest of
// an over-long line is dropped. Standard output counts as a terminal here
// (see __wrap_isatty), so the console must never receive a control byte.
// Checked for every line read: at most one console line, at most one
// protocol line, and that one a PONG ending in a single CR LF; nick stays
// terminated; ASan watches line_buffer and format_buffer.
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/event_loop.hpp"
#include "lines/server_line.hpp"

#include <string>
#include <unistd.h>

// Linked with --wrap=isatty: the writers take descriptor 1 for a terminal
// while it is really the pipe the target drains.
extern "C" int __real_isatty(int descriptor);
extern "C" int __wrap_isatty(int descriptor)
{
    return descriptor == STDOUT_FILENO ? 1 : __real_isatty(descriptor);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    orv_fuzz::capture_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace orv_fuzz;
    constexpr std::size_t line_room = orv::line_capacity - 1;
    reset_client();
    int peer = connect_peer(data, size);
    bool line_goes_on = false;
    for (;;) {
        std::size_t length = orv::read_server_line();
        if (length == 0)
            break;
        std::string line(orv::client.line_buffer.data(), length);
        bool rest_of_line = line_goes_on;
        line_goes_on = length == line_room && line.back() != '\n';
        if (!rest_of_line)
            orv::handle_server_line();
        check_record_texts(line);
        std::string console = take_console();
        std::string wire = take_pending(peer);
        if (rest_of_line && !(console.empty() && wire.empty()))
            fail("the rest of an over-long line was handled", line, console + wire);
        check_console_line(console, line, true);
        std::string_view sent = check_protocol_line(wire, line);
        if (!sent.empty() && !sent.starts_with("PONG "))
            fail("a server line made orv send something other than PONG", line, wire);
    }
    close(peer);
    close(orv::client.server_stream);
    return 0;
}
