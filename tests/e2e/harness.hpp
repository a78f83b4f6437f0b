// One harness for every process test: a scripted peer listening on
// 127.0.0.1, the real orv binary started with pipes on its three standard
// streams, and reads that never wait longer than they are told.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace orv_test {

using namespace std::chrono_literals;
using duration = std::chrono::milliseconds;
constexpr duration patience = 5s;

// A listening socket on 127.0.0.1 with a port the system chose.
struct listener {
    int descriptor = -1;
    int port = 0;
    listener();
    ~listener();
    listener(const listener &) = delete;
    listener &operator=(const listener &) = delete;
    // The next connection, or -1 when none comes in time.
    int accept_one(duration timeout = patience) const;
};

struct process {
    pid_t pid = -1;
    int input = -1;  // orv's standard input; -1 once closed
    int output = -1; // orv's standard output
    int error = -1;  // orv's standard error
    ~process();
    // Exit status, or 128 + signal; -1 (after killing it) when it did not
    // end in time.
    int wait_for_exit(duration timeout = patience);
    void close_input();
};

struct run_options {
    std::vector<std::string> arguments;
    // The whole environment orv sees; PATH is added.
    std::vector<std::string> environment = {"USER=bob", "TZ=UTC"};
    // Run through this command, e.g. {"env", "-u", "FAKETIME"}.
    std::vector<std::string> wrapper = {};
    // libfaketime's clock for orv, e.g. "+0 x60"; empty: the real one.
    std::string clock;
    // Give orv a pseudo-terminal as standard output (output reads from it).
    bool output_to_terminal = false;
    // Give orv a pseudo-terminal in canonical mode as standard input (input
    // writes to it, as a person types).
    bool input_from_terminal = false;
    // Make every read of orv's standard input fail while it still looks
    // ready: the terminal opened for writing only, or a directory in place
    // of the pipe.
    bool unreadable_input = false;
    // Leave orv's standard output non-blocking, as another program sharing
    // it may have done.
    bool nonblocking_output = false;
    bool nonblocking_input = false; // the same for standard input
    // The peer welcomes orv (001) right after the login, and the console
    // line for it is read: typing waits for a welcome.
    bool welcomed = true;
};

// The command that starts the orv under test: the words of $ORV_RUNNER (an
// emulator such as qemu-aarch64), if set, then $ORV_BINARY, or else the orv
// built with the tests.
std::vector<std::string> orv_command();

// The same as one line for a shell.
std::string orv_command_line();

// Starts the orv under test.
void start_orv(process &started, const run_options &options);

// Writes all of text, or fails the test.
void send_text(int descriptor, std::string_view text);

// Reads until the text read so far ends with... contains needle, the
// descriptor ends, or the timeout passes. Returns all that was read.
std::string read_until(int descriptor, std::string_view needle, duration timeout = patience);

// Reads whatever arrives within the time given, or until the end.
std::string read_for(int descriptor, duration time);

// Reads until the end of the stream (or the timeout).
std::string read_to_end(int descriptor, duration timeout = patience);

// The text with every console timestamp replaced by "T".
std::string without_times(std::string text);

// A console line as orv writes it, with "T" for the timestamp.
std::string console_line(std::string_view column, std::string_view text);

// A free port on 127.0.0.1 that nothing listens on.
int free_port();

// A started orv connected to a scripted peer that has read its login.
struct session {
    listener peer_listener;
    process orv;
    int peer = -1;
    std::string login;
    explicit session(run_options options = {});
    ~session();
    // Ends orv's input, reads what the peer receives until orv shuts the
    // connection down for writing, then closes it. Returns what was read.
    std::string end_input();
};

// Runs a helper program (openssl, tmux...) with no input and waits for it.
// Returns its exit status (-1 when it did not end in time) and, when output
// is given, what it wrote on standard output.
int run_program(const std::vector<std::string> &arguments, std::string *output = nullptr,
                duration timeout = patience);

// True once something accepts connections on 127.0.0.1 at this port.
bool wait_for_port(int port, duration timeout = patience);

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
struct temporary_directory {
    std::string path;
    temporary_directory();
    ~temporary_directory();
    temporary_directory(const temporary_directory &) = delete;
    temporary_directory &operator=(const temporary_directory &) = delete;
};

// The file tests/e2e/NAME of the source tree with every "@KEY@" replaced by
// its value.
std::string fill_template(std::string_view name,
                          const std::vector<std::pair<std::string, std::string>> &values);

// Writes text to a file, or fails the test.
void write_file(const std::string &path, std::string_view text);

// A server program run by a test, its standard output and error kept in a
// log file; killed (and waited for) by stop() or at the latest on
// destruction, so that no daemon outlives its test.
struct daemon_process {
    pid_t pid = -1;
    std::string log_path;
    daemon_process() = default;
    daemon_process(const daemon_process &) = delete;
    daemon_process &operator=(const daemon_process &) = delete;
    ~daemon_process();
    void start(const std::vector<std::string> &arguments, const std::string &log);
    // True while it runs.
    bool running();
    void stop();
    // What it wrote so far.
    std::string log() const;
};

// A person at an orv console: types lines and reads what is shown.
struct console_user {
    process orv;
    std::string nick;
    std::string shown; // all the console showed so far, timestamps as "T"
    std::string pending; // the start of a line not yet complete
    // Starts orv -h 127.0.0.1 -p PORT -n NICK.
    console_user(std::string name, int port);
    void type(std::string_view line); // the line feed is added
    // True once the console has shown this whole line (as console_line
    // gives it), or a line that begins with it when it has no line feed;
    // waits at most timeout.
    bool saw(std::string_view line, duration timeout = patience);
};

// A loopback relay between orv and a server that keeps a copy of the
// traffic each way: one connection, forwarded until either side closes.
class relay {
public:
    explicit relay(int server_port);
    ~relay();
    relay(const relay &) = delete;
    relay &operator=(const relay &) = delete;
    int port() const { return entry.port; }
    // The bytes each side sent so far.
    std::string from_server();
    std::string from_client();

private:
    void forward();
    listener entry;
    int server_port;
    int stop_pipe[2] = {-1, -1};
    std::mutex guard;
    std::string server_bytes, client_bytes;
    std::thread worker;
};

// Starts a real IRC server, kind "ngircd" or "inspircd", on 127.0.0.1 at
// port, with its configuration made from tests/e2e/KIND.conf.in in
// directory and extra appended to it, and waits until the port accepts.
// Fails the test (with the server's log) when it does not come up.
void start_irc_server(daemon_process &server, std::string_view kind, const std::string &directory,
                      int port, std::string_view extra = "");

} // namespace orv_test
