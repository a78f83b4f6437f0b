#include "core/startup.hpp"

#include "core/client.hpp"
#include "output/writers.hpp"
#include "text/text.hpp"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orv {

namespace {
constexpr const char *usage_text = "usage: orv [-h host] [-p port] [-n nick] [-k keyword] [-v]\n";
constexpr const char *version_banner = "orv-1.3, a minimal IRC client for the terminal\n";
constexpr unsigned long highest_port = 65535;
constexpr std::size_t user_name_length = 9;
// The character sets of a terminal that takes UTF-8, or of the C locale,
// which says nothing of the terminal, as the C libraries name them.
constexpr const char *utf8_or_ascii[] = {"UTF-8", "UTF8", "ANSI_X3.4-1968", "ASCII", "US-ASCII"};
// A host name has 253 bytes at most: a longer value in an error message is
// shown cut, so that the message keeps its reason and its line end.
constexpr std::size_t shown_value_capacity = 256;
char shown_host[shown_value_capacity];
char shown_port[shown_value_capacity];
} // namespace

// The value as an error message quotes it, cut when it is long.
static const char *shown(char (&buffer)[shown_value_capacity], const char *value)
{
    copy_shortened(buffer, value, shown_value_capacity);
    return buffer;
}

void open_standard_descriptors()
{
    for (int descriptor = 0; descriptor <= 2; ++descriptor)
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
}

void take_nick_from_environment()
{
    const char *user = std::getenv("USER");
    copy_whole_characters(client.nick.data(), user != nullptr ? user : "unknown", nick_capacity);
}

void parse_command_line(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0 && i + 1 == argc)
            return; // a final "--" ends the options, with nothing after it
        // orv takes no operands: a host given without -h would otherwise be
        // ignored, and a keyword sent to the default server.
        if (argument[0] != '-' || argument[1] == '\0')
            exit_with_error("%s", usage_text);
        char letter = argument[1];
        if (letter == 'v')
            exit_with_error("%s", version_banner);
        if (std::strchr("hpnk", letter) == nullptr)
            exit_with_error("%s", usage_text);
        const char *value = argument + 2; // -hhost1 as well as -h host1
        if (*value == '\0') {
            if (i + 1 >= argc)
                exit_with_error("%s", usage_text);
            value = argv[++i];
        }
        switch (letter) {
        case 'h': client.host = value; break;
        case 'p': client.port = value; break;
        case 'k': client.keyword = value; break;
        default: copy_whole_characters(client.nick.data(), value, nick_capacity); break;
        }
    }
}

// The resolver reads a port as a number when, after blanks and a sign, it is
// all digits, and an empty one as port 0; some resolvers then keep only the
// low 16 bits ("+112203" and " 112203" would reach 46667, 99999 34463). Such
// a port is taken only as plain digits from 1 to 65535; any other port is a
// service name, for the resolver to look up.
static bool is_bad_numeric_port(const char *port)
{
    const char *digits = port;
    while (is_space(*digits))
        ++digits;
    if (*digits == '+' || *digits == '-')
        ++digits;
    unsigned long number = 0;
    const char *end = digits;
    for (; *end >= '0' && *end <= '9'; ++end)
        if (number <= highest_port) // stops growing before it can overflow
            number = number * 10 + static_cast<unsigned long>(*end - '0');
    if (*end != '\0' || (end == digits && *port != '\0'))
        return false; // a service name
    return digits != port || number == 0 || number > highest_port;
}

int connect_to_server(const char *host, const char *port)
{
    if (is_bad_numeric_port(port))
        exit_with_error("error: cannot resolve port '%s': %s\n", shown(shown_port, port),
                        gai_strerror(EAI_SERVICE));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    int failure = getaddrinfo(host, port, &hints, &addresses);
    if (failure == EAI_SERVICE)
        exit_with_error("error: cannot resolve port '%s': %s\n", shown(shown_port, port),
                        gai_strerror(failure));
    if (failure != 0) {
        // errno tells nothing about a resolver failure; the resolver's own
        // reason does, but for a failure of the system underneath it.
        const char *reason = failure == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(failure);
        exit_with_error("error: cannot resolve hostname '%s': %s\n", shown(shown_host, host), reason);
    }
    int connected = -1, reason = EADDRNOTAVAIL; // the last attempt's
    for (addrinfo *address = addresses; address != nullptr && connected < 0;
         address = address->ai_next) {
        int descriptor = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (descriptor < 0) {
            reason = errno;
            continue;
        }
        if (connect(descriptor, address->ai_addr, address->ai_addrlen) == 0) {
            connected = descriptor;
        } else {
            reason = errno;
            close(descriptor);
        }
    }
    freeaddrinfo(addresses);
    if (connected < 0) {
        errno = reason;
        exit_with_error("error: cannot connect to host '%s' port %s:", shown(shown_host, host),
                        shown(shown_port, port));
    }
#ifdef SO_NOSIGPIPE
    // Where the socket takes an option against SIGPIPE, it guards every
    // write to it, whether or not the send also has a flag for it.
    int on = 1;
    setsockopt(connected, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return connected;
}

// Servers refuse user names with anything but letters and digits in them
// ("gina_", "kim[m]"), and relay a user name of at most 10 bytes with the
// "~" they add when no ident server answers: the user name is the first 9
// letters and digits of the nickname, or "orv" when there are none.
// user_name comes zeroed, so it ends where the copy does.
static void make_user_name(char (&user_name)[nick_capacity])
{
    std::size_t length = 0;
    for (const char *c = client.nick.data(); *c != '\0' && length < user_name_length; ++c)
        if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
            user_name[length++] = *c;
    if (length == 0)
        strlcpy(user_name, "orv", nick_capacity);
}

// A keyword with a blank in it, or one that begins with a colon, reaches the
// server whole only as the last parameter, and an empty one is a parameter
// only there. The line ends at a line break the keyword holds, so a blank
// after one does not count.
static bool goes_as_last_parameter(const char *keyword)
{
    std::size_t length = std::strcspn(keyword, "\r\n");
    return length == 0 || keyword[0] == ':' || std::memchr(keyword, ' ', length) != nullptr;
}

// True when the codeset, of this length, is UTF-8 or the C locale's ASCII.
static bool is_utf8_or_ascii(const char *codeset, std::size_t length)
{
    for (const char *name : utf8_or_ascii)
        if (std::strlen(name) == length && strncasecmp(codeset, name, length) == 0)
            return true;
    return false;
}

// The locale setlocale would take, by name: the first of LC_ALL, LC_CTYPE
// and LANG that is set and not empty.
static const char *requested_locale()
{
    for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (const char *name = std::getenv(variable); name != nullptr && *name != '\0')
            return name;
    return "";
}

bool locale_is_eight_bit()
{
    bool eight_bit = false;
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
        const char *charset = nl_langinfo(CODESET);
        eight_bit = !is_utf8_or_ascii(charset, std::strlen(charset));
    }
    // A locale not installed (as when ssh passes on a user's LANG) leaves
    // the C locale, and a C library that reads every locale but C as UTF-8
    // (musl) names some C.UTF-8 (".KOI8-R"): the name asked for, whose
    // codeset ("ru_RU.KOI8-R") says what the terminal is, still tells.
    const char *name = requested_locale();
    if (const char *dot = std::strchr(name, '.'); dot != nullptr)
        eight_bit = eight_bit || !is_utf8_or_ascii(dot + 1, std::strcspn(dot + 1, "@;"));
    std::setlocale(LC_CTYPE, "C"); // nothing else orv does follows the locale
    return eight_bit;
}

void log_in()
{
    // Non-blocking, a send to a server that stops reading waits in poll,
    // with a limit, rather than in the send for ever.
    fcntl(client.server_stream, F_SETFL, fcntl(client.server_stream, F_GETFL) | O_NONBLOCK);
    char user_name[nick_capacity] = {};
    make_user_name(user_name);
    // A host that begins with a colon (::1) would read as the last
    // parameter; servers ignore this field's value anyway.
    const char *server_name = client.host[0] == ':' ? "*" : client.host;
#ifdef TCP_CORK
    // Corked, the registration lines leave together in one segment; elsewhere
    // they leave as separate writes.
    int cork = 1;
    setsockopt(client.server_stream, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
#endif
    if (client.keyword != nullptr)
        send_to_server(goes_as_last_parameter(client.keyword) ? "PASS :%s" : "PASS %s", client.keyword);
    send_to_server("NICK %s", client.nick.data());
    send_to_server("USER %s localhost %s :%s", user_name, server_name, client.nick.data());
#ifdef TCP_CORK
    cork = 0;
    setsockopt(client.server_stream, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
#endif
}

} // namespace orv
