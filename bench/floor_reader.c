/* The floor: the least a reader must do per server line when it may take
 * from the socket nothing past a line's newline and must write each console
 * line at once. One wait over standard input and the socket, one look at
 * what is pending, one exact read up to the newline, the time (formatted
 * once a minute), one write. No parsing.
 *
 * usage: floor_reader -h host -p port [-b peek_bytes]
 * Ends with status 1 and a message when the server closes the connection. */
#include <getopt.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { line_room = 4095, stamp_room = 80 };

static char line[line_room + 1];
static char out[stamp_room + line_room + 2];

static int connect_to(const char *host, const char *port)
{
    struct addrinfo hints = {0}, *found;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, port, &hints, &found) != 0)
        return -1;
    int s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s >= 0 && connect(s, found->ai_addr, found->ai_addrlen) != 0) {
        close(s);
        s = -1;
    }
    freeaddrinfo(found);
    return s;
}

/* One line, taking nothing past its newline; 0 at the end. */
static size_t read_line(int s, size_t peek)
{
    size_t length = 0;
    while (length < line_room) {
        size_t ask = line_room - length < peek ? line_room - length : peek;
        ssize_t pending = recv(s, line + length, ask, MSG_PEEK);
        if (pending <= 0)
            break;
        char *nl = memchr(line + length, '\n', (size_t)pending);
        size_t wanted = nl ? (size_t)(nl - (line + length)) + 1 : (size_t)pending;
        ssize_t taken = recv(s, line + length, wanted, 0);
        if (taken <= 0)
            break;
        length += (size_t)taken;
        if (line[length - 1] == '\n')
            break;
    }
    return length;
}

int main(int argc, char **argv)
{
    const char *host = "127.0.0.1", *port = "6667";
    size_t peek = 512;
    for (int option; (option = getopt(argc, argv, "h:p:b:")) != -1;) {
        if (option == 'h')
            host = optarg;
        else if (option == 'p')
            port = optarg;
        else if (option == 'b')
            peek = (size_t)atol(optarg);
        else
            return 2;
    }
    int s = connect_to(host, port);
    if (s < 0) {
        fputs("floor_reader: cannot connect\n", stderr);
        return 1;
    }
    time_t shown_minute = -1;
    size_t stamp_length = 0;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        FD_SET(s, &readable);
        struct timeval limit = {120, 0};
        if (select(s + 1, &readable, NULL, NULL, &limit) < 0)
            return 1;
        if (FD_ISSET(s, &readable)) {
            size_t length = read_line(s, peek);
            if (length == 0) {
                fputs("floor_reader: remote host closed connection\n", stderr);
                return 1;
            }
            time_t now = time(NULL);
            if (now / 60 != shown_minute) {
                shown_minute = now / 60;
                stamp_length = strftime(out, stamp_room, "%Y-%m-%d %R ", localtime(&now));
            }
            while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
                --length;
            memcpy(out + stamp_length, line, length);
            out[stamp_length + length] = '\n';
            if (write(1, out, stamp_length + length + 1) < 0)
                return 1;
        }
        if (FD_ISSET(0, &readable)) {
            char c;
            if (read(0, &c, 1) <= 0) {
                fputs("floor_reader: broken pipe\n", stderr);
                return 1;
            }
        }
    }
}
