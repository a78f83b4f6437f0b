// Arguments for parse_command_line, taken from the input split at NUL bytes.
// Checked: -v ends with the version banner, an unknown letter or a missing
// value with the usage text, both status 1 on standard error; otherwise
// nothing is written, and host, port and keyword each point at the value
// that follows their own letter, joined (-hhost) or the next argument, the
// last one given winning, or keep their defaults; nick holds its value, cut
// to 31 bytes, never inside a UTF-8 character. An operand (an argument
// that is not an option, a lone "-" among them, or anything after "--")
// gives the usage text; a final "--" ends the options.
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/startup.hpp"

#include <cstring>
#include <string>
#include <vector>

using namespace orv_fuzz;

static std::vector<std::string> arguments;
static std::vector<char *> argv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    begin(data, size, false);
    arguments.assign(1, "orv");
    for (std::size_t start = 0; start <= world.input.size() && arguments.size() < 64;) {
        std::size_t end = std::min(world.input.find('\0', start), world.input.size());
        arguments.emplace_back(world.input.substr(start, end - start));
        start = end + 1;
    }
    argv.clear();
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int count = static_cast<int>(arguments.size());

    const orv::client_record &c = orv::client;
    const char *host = c.host, *port = c.port, *keyword = c.keyword, *nick = "bob";
    std::string_view exit_text;
    for (int i = 1; i < count && exit_text.empty(); ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0 && i + 1 == count)
            break;
        if (argument[0] != '-' || argument[1] == '\0') {
            exit_text = "usage: orv [-h host] [-p port] [-n nick] [-k keyword] [-v]\n";
            break;
        }
        const char *value = argument[2] != '\0' ? argument + 2 : i + 1 < count ? argv[++i] : nullptr;
        switch (argument[1]) {
        case 'v': exit_text = "orv-"; break; // the version banner, one line
        case 'h': host = value; break;
        case 'p': port = value; break;
        case 'k': keyword = value; break;
        case 'n': nick = value; break;
        default: value = nullptr;
        }
        if (value == nullptr && exit_text.empty())
            exit_text = "usage: orv [-h host] [-p port] [-n nick] [-k keyword] [-v]\n";
    }

    bool exited = exits([] { orv::parse_command_line(static_cast<int>(argv.size() - 1), argv.data()); });
    bool text_due = exit_text == "orv-" ? world.error.starts_with("orv-")
                                              && world.error.find('\n') == world.error.size() - 1
                                        : world.error == exit_text;
    if (exited != !exit_text.empty() || !text_due || (exited && world.exit_status != 1))
        fail(exited ? "an exit other than status 1 with the usage text or banner due"
                    : "the parser went on where it should have ended, or wrote to standard error",
             world.input, world.error);
    check_record_texts(world.input);
    if (exited)
        return 0;
    if (c.host != host || c.port != port || c.keyword != keyword)
        fail("host, port or keyword does not point at the value after its letter", world.input,
             std::string(c.host) + " " + c.port + " " + (c.keyword ? c.keyword : "(none)"));
    if (kept_nick(nick) != c.nick.data())
        fail("nick is not the value after its letter", world.input, c.nick.data());
    return 0;
}
