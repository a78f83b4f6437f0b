// Bytes typed or piped into orv, cut into lines as read_terminal_line cuts
// them and handled as the event loop does: a line goes to
// handle_terminal_line, the rest of an over-long line to
// handle_terminal_line_rest. Checked for every piece
// read: at most one console line and at most one protocol line, ending in
// a single CR LF with no other CR or LF; a plain line or the rest of a long
// line only ever sends a PRIVMSG to the default channel; nick and
// default_channel stay terminated; ASan watches line_buffer and
// format_buffer. Standard output is a pipe, so bytes pass unchanged.
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/event_loop.hpp"
#include "lines/terminal_line.hpp"

#include <cstring>
#include <string>
#include <unistd.h>

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
    int peer = connect_peer(nullptr, 0);
    bool line_goes_on = false;
    for (std::size_t taken = 0; taken < size;) {
        // As read_terminal_line reads: up to a line feed or 4095 bytes.
        std::size_t length = 0;
        while (taken + length < size && length < line_room)
            if (data[taken + length++] == '\n')
                break;
        std::string line(reinterpret_cast<const char *>(data) + taken, length);
        taken += length;
        std::memcpy(orv::client.line_buffer.data(), line.data(), length);
        orv::client.line_buffer[length] = '\0';
        bool rest_of_line = line_goes_on;
        line_goes_on = length == line_room && line.back() != '\n';
        // What a chat message to the default channel looks like on the wire.
        std::string chat = std::string("PRIVMSG ") + orv::client.default_channel.data() + " :";
        if (rest_of_line)
            orv::handle_terminal_line_rest();
        else
            orv::handle_terminal_line();
        check_record_texts(line);
        std::string console = take_console();
        std::string wire = take_pending(peer);
        check_console_line(console, line, false);
        std::string_view sent = check_protocol_line(wire, line);
        bool plain = rest_of_line || line[0] != ':';
        if (plain && !sent.empty() && !sent.starts_with(chat))
            fail(rest_of_line ? "the rest of a long typed line went out as other than chat text"
                              : "a plain typed line went out as other than chat text",
                 line, wire);
    }
    close(peer);
    close(orv::client.server_stream);
    return 0;
}
