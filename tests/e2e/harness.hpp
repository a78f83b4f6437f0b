// One harness for every process test: a scripted peer listening on
// 127.0.0.1, the real orv binary started with pipes on its three standard
// streams, and reads that never wait longer than they are told.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
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
    // Run through this command, e.g. {"faketime", "-f", "+0 x60"}.
    std::vector<std::string> wrapper = {};
    // Give orv a pseudo-terminal as standard output (output reads from it).
    bool output_to_terminal = false;
};

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
};

} // namespace orv_test
