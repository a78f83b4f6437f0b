/* A literal reader: the socket and standard input as standard streams made
 * unbuffered, so fgets takes one byte per system call; the time formatted
 * for every line; one formatted write per line to an unbuffered stdout.
 *
 * usage: byte_reader -h host -p port
 * Ends with status 1 and a message when the server closes the connection. */
#include <getopt.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static char line[4096];

int main(int argc, char **argv)
{
    const char *host = "127.0.0.1", *port = "6667";
    for (int option; (option = getopt(argc, argv, "h:p:")) != -1;) {
        if (option == 'h')
            host = optarg;
        else if (option == 'p')
            port = optarg;
        else
            return 2;
    }
    struct addrinfo hints = {0}, *found;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, port, &hints, &found) != 0)
        return 1;
    int s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s < 0 || connect(s, found->ai_addr, found->ai_addrlen) != 0)
        return 1;
    freeaddrinfo(found);
    FILE *server = fdopen(s, "r+");
    if (server == NULL)
        return 1;
    setbuf(stdout, NULL);
    setbuf(server, NULL);
    setbuf(stdin, NULL);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        FD_SET(s, &readable);
        struct timeval limit = {120, 0};
        if (select(s + 1, &readable, NULL, NULL, &limit) < 0)
            return 1;
        if (FD_ISSET(s, &readable)) {
            if (fgets(line, sizeof line, server) == NULL) {
                fputs("byte_reader: remote host closed connection\n", stderr);
                return 1;
            }
            line[strcspn(line, "\r\n")] = '\0';
            char stamp[80];
            time_t now = time(NULL);
            strftime(stamp, sizeof stamp, "%Y-%m-%d %R", localtime(&now));
            printf("%-12s: %s %s\n", "", stamp, line);
        }
        if (FD_ISSET(0, &readable) && fgets(line, sizeof line, stdin) == NULL) {
            fputs("byte_reader: broken pipe\n", stderr);
            return 1;
        }
    }
}
