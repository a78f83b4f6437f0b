// Bytes from a hostile server, arriving in pieces, served by the event
// loop's serve_server_line until the stream ends. Checked for every read:
// it stops only at a line feed, at 4095 bytes or at the end of the stream,
// and the handler gets it once when it begins a line, never when it is the
// rest of an over-long one; a PING line gets exactly one PONG carrying its
// token, and nothing else sends but the keep-alive PING a stall owes; the
// welcome's first parameter or our own NICK sets nick; the console line
// passes the text unchanged to a pipe and no control to a terminal. The
// end is "remote host closed connection" once everything has been read, or
// the parse timeout after 300 seconds of silence inside a line.
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/event_loop.hpp"

#include <string>

using namespace orv_fuzz;

static std::string_view trim_end(std::string_view text)
{
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

static void check_piece(std::string_view nick_before)
{
    std::string_view piece = world.input.substr(world.piece_start, world.taken - world.piece_start);
    if (piece.find('\n') < piece.size() - 1)
        fail("one read took more than one line", piece, "");
    if (piece.back() != '\n' && piece.size() != line_room && world.taken != world.input.size())
        fail("a read stopped inside a line", piece, "");
    bool begins_line = world.piece_start == 0 || world.input[world.piece_start - 1] == '\n';
    if (world.handled_lines != (begins_line ? 1 : 0))
        fail(begins_line ? "a line was not handled once" : "the rest of an over-long line was handled",
             piece, world.console + world.wire);

    // The line as the handler should take it: [:origin[!user@host] ]command parameters
    std::string_view text = begins_line ? line_text(piece) : "";
    std::string_view origin = fake_host, rest = text;
    if (text.starts_with(':')) {
        std::size_t space = text.find(' ');
        origin = text.substr(1, std::min(space, text.find('!')) - 1);
        rest = space == std::string_view::npos ? "" : text.substr(space + 1);
    }
    std::size_t space = rest.find(' ');
    std::string_view command = rest.substr(0, space);
    std::string_view parameters = space == std::string_view::npos ? "" : rest.substr(space + 1);
    std::size_t colon = parameters.find(':');
    std::string_view before_colon = trim_end(parameters.substr(0, colon));
    // The last parameter: after a colon the rest, else the last word.
    std::string_view token = colon != std::string_view::npos
                                 ? parameters.substr(colon + 1)
                                 : before_colon.substr(before_colon.rfind(' ') + 1);

    std::string expected_wire = world.expected_wire;
    if (command == "PING")
        expected_wire += protocol_line(std::string("PONG ") + std::string(token));
    check_protocol_lines(world.wire, piece);
    if (world.wire != expected_wire)
        fail(command == "PING" ? "a PING did not get exactly one PONG with its token"
                               : "orv sent other than the keep-alive PINGs a stall owes",
             piece, world.wire);
    check_console_line(world.console, piece);
    bool shown = !rest.empty() && command != "PING" && command != "PONG";
    if (!shown && !world.console.empty())
        fail("a line that shows nothing was shown", piece, world.console);
    if (shown && !orv::client.console_is_terminal && colon != std::string_view::npos
        && text.size() + 8 < orv::line_capacity
        && !world.console.ends_with(std::string(token) + "\n"))
        fail("the text did not pass unchanged to a pipe", piece, world.console);
    std::string_view nick = nick_before;
    if (command == "NICK" && origin == nick_before)
        nick = token;
    else if (command == "001") { // its first word after any blanks; blanks alone name nobody
        std::string_view first = before_colon.substr(std::min(before_colon.find_first_not_of(' '), before_colon.size()));
        if (!first.empty())
            nick = first.substr(0, first.find(' '));
    }
    check_record_texts(piece);
    if (kept_nick(nick) != orv::client.nick.data())
        fail("nick is not the one the welcome or our NICK gave", piece, orv::client.nick.data());
}

static void serve()
{
    world.piece_start = world.taken;
    world.wire.clear();
    world.expected_wire.clear();
    world.console.clear();
    world.handled_lines = 0;
    if (world.arrived == world.taken)
        arrive(); // the loop serves the server once bytes have come
    static std::string nick; // static: the exit jumps over this frame
    nick = orv::client.nick.data();
    orv::serve_server_line();
    check_piece(nick);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    begin(data, size, true);
    exits([] {
        for (;;)
            serve();
    });
    const char *expected = world.expected_exit;
    if (expected == nullptr) {
        expected = "orv: remote host closed connection\n";
        if (world.taken != world.input.size())
            fail("orv ended before the stream did", world.input.substr(world.taken), world.error);
    }
    if (world.exit_status != 1 || world.error != expected)
        fail("an exit other than status 1 with the message due", world.input, world.error);
    if (world.wire != world.expected_wire)
        fail("a stall did not get its keep-alive PINGs", world.input, world.wire);
    return 0;
}
