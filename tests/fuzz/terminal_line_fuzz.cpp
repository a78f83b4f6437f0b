// Lines typed on a terminal (one read a line, Ctrl-D anywhere, or two lines
// typed ahead) or piped in, served by the event loop's serve_terminal_line
// until the input ends. Checked for every line: it stops only at a line feed
// (on a terminal, a carriage return too), at 4095 bytes or at the end of the
// input (on a terminal, of what a read handed over: Ctrl-D), and a
// terminal's line takes one read at most; the handler gets it once, as a line or,
// after 4095 bytes without a line feed, as the rest of one; what goes out
// is what the line asks for: a plain line PRIVMSGs to exactly the default
// channel with the typed text, in pieces that fit 512 bytes as others
// receive them, and the rest of chat goes to the same target (the rest of
// anything else nowhere), ":s" leaves the argument's first word as the
// default channel and ":j" too when it names a channel and there is none,
// ":m" and ":l" address their first word (a leave text cut to fit), any
// other line beginning with a colon goes out as typed;
// every protocol line ends in one CR LF; each piece's echo is one line that
// passes the text unchanged to a pipe and no control to a terminal. The end
// is "broken pipe" once everything has been read (for inputs of up to 64
// reads, the ones served).
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/event_loop.hpp"
#include "lines/terminal_line.hpp"

#include <algorithm>
#include <cstring>
#include <string>

using namespace orv_fuzz;

static std::string channel; // the default channel the lines so far should have left
static bool line_goes_on;   // the last read stopped inside a line
static bool after_cr;       // the last line typed on a terminal ended at a carriage return
static std::string echoed;  // the text the last piece of a chat message should show
static bool chatted;
static std::string rest_target; // where the rest of the line goes; chat only
static bool rest_is_chat;

// The argument's first word; rest is what follows the whitespace after it.
static std::string_view first_word(std::string_view text, std::string_view &rest)
{
    std::size_t start = 0;
    while (start < text.size() && is_space(text[start]))
        ++start;
    std::size_t end = start;
    while (end < text.size() && !is_space(text[end]))
        ++end;
    rest = end < text.size() ? text.substr(end + 1) : "";
    return text.substr(start, end - start);
}

// The room for text in 512 bytes behind ":bob!", a 10-byte user, "@", a
// 63-byte host, a blank and the framing (command, target, " :", CR LF).
static std::size_t budget(std::size_t framing) { return framing > 368 ? 64 : 432 - framing; }

// A chat message goes in pieces that fit, each echoed when it is sent.
static std::string chat(std::string_view target, std::string_view text)
{
    rest_is_chat = true;
    rest_target = target;
    if (target.empty())
        return "";
    chatted = true;
    std::string wire, rest(text);
    do {
        std::size_t length = orv::piece_length(rest.c_str(), budget(target.size() + 12));
        echoed = rest.substr(0, length);
        wire += protocol_line("PRIVMSG " + std::string(target) + " :" + echoed);
        rest.erase(0, length + (rest[length] == ' ' ? 1 : 0)); // the blank split at
    } while (!rest.empty());
    return wire;
}

// What the piece should send, keeping the default channel up to date.
static std::string expected_wire(std::string_view piece, bool rest_of_line)
{
    std::string_view line = line_text(piece);
    if (rest_of_line)
        return line.empty() || !rest_is_chat ? "" : chat(std::string(rest_target), line);
    rest_is_chat = false;
    if (piece[0] == '\0')
        return "";
    if (!line.starts_with(':'))
        return chat(channel, line);
    char letter = line.size() > 2 && is_space(line[2]) ? line[1] : 'x';
    if (std::strchr("jlms", letter) == nullptr)
        return protocol_line(line.substr(1));
    std::string_view argument = line.substr(3), rest;
    std::string_view word = first_word(argument, rest);
    std::size_t kept = std::min(word.size(), orv::channel_capacity - 1); // never part of a character
    for (int step = 0; step < 3 && kept < word.size() && (word[kept] & 0xc0) == 0x80; ++step)
        --kept;
    std::string first(word.substr(0, kept));
    switch (letter) {
    case 'j': // of a list, the first name
        first.erase(std::min(first.find(','), first.size()));
        if (channel.empty() && !first.empty() && std::strchr("#&+!", first[0]) != nullptr)
            channel = first;
        return protocol_line("JOIN " + std::string(argument));
    case 's':
        channel = first;
        return "";
    case 'm':
        return chat(word, rest);
    default: { // 'l': a long text is cut to fit, never inside a UTF-8 character
        std::string left = word.empty() ? channel : std::string(word);
        std::string text(rest.empty() ? "orv - 250 LOC are too much!" : rest);
        std::size_t end = std::min(text.size(), budget(left.size() + 9));
        for (int step = 0; step < 3 && end < text.size() && (text[end] & 0xc0) == 0x80; ++step)
            --end;
        return protocol_line("PART " + left + " :" + text.substr(0, end));
    }
    }
}

static void serve()
{
    world.piece_start = world.taken - orv::client.typed_ahead_length; // what was read ahead begins it
    world.split_cr_lf = after_cr && orv::client.typed_ahead_length == 0;
    world.wire.clear();
    world.console.clear();
    world.handled_lines = world.handled_rests = world.reads = 0;
    chatted = false;
    bool rest_of_line = line_goes_on;
    orv::serve_terminal_line();
    std::size_t carried = orv::client.typed_ahead_length;
    std::string_view piece = world.input.substr(world.piece_start, world.taken - world.piece_start - carried);
    if (world.split_cr_lf && piece.starts_with('\n')) {
        piece.remove_prefix(1);
        ++world.piece_start;
    }
    if (piece.empty()) { // a line only begun waits for its end, and the server is served meanwhile
        if (world.handled_lines + world.handled_rests != 0 || !world.wire.empty())
            fail("a line was handled before it ended", piece, world.wire);
        after_cr = false; // the read that took the line feed, if any, forgot the carriage return
        return;
    }
    std::string_view line_ends = world.canonical_terminal ? "\r\n" : "\n";
    bool ended = line_ends.find(piece.back()) != line_ends.npos;
    if (!ended && carried > 0
        && (carried > 3 || (world.input[world.taken - carried] & 0xc0) != 0xc0))
        fail("what begins the next piece is not the start of a character", piece, "");
    check_console_line(world.console, piece);
    while (orv::client.unsent_text[0] != '\0') { // as the event loop sends them: one line a piece
        world.console.clear();
        orv::send_unsent_piece();
        check_console_line(world.console, piece);
    }
    std::size_t first_end = piece.find_first_of(line_ends);
    if (first_end < piece.size() - 1 && piece.substr(first_end) != "\r\n")
        fail("one line took more than one line", piece, "");
    std::size_t line_end = world.canonical_terminal ? world.typed_end : world.input.size();
    if (!ended && piece.size() + carried != line_room && world.taken != line_end)
        fail("a line stopped inside a line", piece, "");
    if (world.canonical_terminal && world.reads > 1)
        fail("a line typed on a terminal took more than one read", piece, "");
    if (world.handled_lines != (rest_of_line ? 0 : 1) || world.handled_rests != (rest_of_line ? 1 : 0))
        fail(rest_of_line ? "the rest of an over-long line was not handled once as such"
                          : "a line was not handled once",
             piece, world.console + world.wire);
    line_goes_on = piece.size() + carried == line_room && !ended;
    after_cr = world.canonical_terminal && piece.back() == '\r';

    std::string expected = expected_wire(piece, rest_of_line);
    check_protocol_lines(world.wire, piece);
    if (world.wire != expected)
        fail("the line did not send what it asks for", piece, world.wire);
    if (channel != orv::client.default_channel.data())
        fail("the default channel is not the first word :j or :s gave", piece,
             orv::client.default_channel.data());
    if (chatted && !orv::client.console_is_terminal
        && echoed.size() + 6 < orv::line_capacity
        && !world.console.ends_with(echoed + "\n"))
        fail("the echo did not pass the text unchanged to a pipe", piece, world.console);
    check_record_texts(piece);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    begin(data, size, true);
    channel.clear();
    line_goes_on = after_cr = false;
    // At most 64 reads an input: past that, a longer input only costs time
    // (the fuzzer would breed ever longer ones) and finds nothing new.
    if (!exits([] {
            for (int reads = 0; reads < 64; ++reads)
                serve();
        }))
        return 0;
    if (world.taken != world.input.size())
        fail("orv ended before the input did", world.input.substr(world.taken), world.error);
    if (world.exit_status != 1 || world.error != "orv: broken pipe\n")
        fail("an exit other than status 1 with \"orv: broken pipe\"", world.input, world.error);
    return 0;
}
