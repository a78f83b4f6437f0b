#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace orv_test {

static int loopback_socket(int &port)
{
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        ADD_FAILURE() << "bind: " << std::strerror(errno);
    socklen_t length = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    return descriptor;
}

listener::listener()
{
    descriptor = loopback_socket(port);
    listen(descriptor, 8);
}

listener::~listener()
{
    close(descriptor);
}

static bool wait_readable(int descriptor, duration timeout)
{
    pollfd watched{descriptor, POLLIN, 0};
    int ready;
    do
        ready = poll(&watched, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

int listener::accept_one(duration timeout) const
{
    if (!wait_readable(descriptor, timeout))
        return -1;
    return accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC);
}

int free_port()
{
    int port;
    close(loopback_socket(port));
    return port;
}

process::~process()
{
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int descriptor : {input, output, error})
        if (descriptor >= 0)
            close(descriptor);
}

int process::wait_for_exit(duration timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            return -1;
        }
        usleep(2000);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void process::close_input()
{
    close(input);
    input = -1;
}

void start_orv(process &started, const run_options &options)
{
    int input[2], output[2], error[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(error, O_CLOEXEC), 0);
    if (options.output_to_terminal) {
        winsize size{};
        size.ws_col = 200;
        size.ws_row = 50;
        ASSERT_EQ(openpty(&output[0], &output[1], nullptr, nullptr, &size), 0);
        fcntl(output[0], F_SETFD, FD_CLOEXEC);
        fcntl(output[1], F_SETFD, FD_CLOEXEC);
    } else {
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, error[1], 2);

    std::vector<std::string> words = options.wrapper;
    words.push_back(ORV_BINARY);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = options.environment;
    environment.push_back(std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    for (const char *passed : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (getenv(passed))
            environment.push_back(std::string(passed) + "=" + getenv(passed));
    std::vector<char *> envp;
    for (auto &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int failure = posix_spawnp(&started.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    close(error[1]);
    ASSERT_EQ(failure, 0) << "cannot start " << argv[0];
    started.input = input[1];
    started.output = output[0];
    started.error = error[0];
}

void send_text(int descriptor, std::string_view text)
{
    while (!text.empty()) {
        ssize_t written = send(descriptor, text.data(), text.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK)
            written = write(descriptor, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        ASSERT_GT(written, 0) << std::strerror(errno);
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Reads what is there now; false at the end of the stream.
static bool read_some(int descriptor, std::string &into)
{
    char chunk[65536];
    ssize_t got = read(descriptor, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR)
        return true;
    if (got <= 0) // a pseudo-terminal whose far side closed gives EIO
        return false;
    into.append(chunk, static_cast<std::size_t>(got));
    return true;
}

std::string read_until(int descriptor, std::string_view needle, duration timeout)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<duration>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_readable(descriptor, left) || !read_some(descriptor, text))
            break;
    }
    return text;
}

std::string read_for(int descriptor, duration time)
{
    return read_until(descriptor, std::string_view("\x01never\x02", 7), time);
}

std::string read_to_end(int descriptor, duration timeout)
{
    return read_for(descriptor, timeout);
}

std::string without_times(std::string text)
{
    static const std::regex timestamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}");
    return std::regex_replace(text, timestamp, "T");
}

std::string console_line(std::string_view column, std::string_view text)
{
    std::string line(column);
    if (line.size() < 12)
        line.append(12 - line.size(), ' ');
    return line.append(": T ").append(text).append("\n");
}

session::session(run_options options)
{
    options.arguments.insert(options.arguments.begin(),
                             {"-h", "127.0.0.1", "-p", std::to_string(peer_listener.port)});
    start_orv(orv, options);
    peer = peer_listener.accept_one();
    EXPECT_GE(peer, 0) << "orv did not connect";
    login = read_until(peer, "USER ");
    if (!login.ends_with("\r\n"))
        login += read_until(peer, "\r\n", 1s);
}

session::~session()
{
    if (peer >= 0)
        close(peer);
}

} // namespace orv_test
