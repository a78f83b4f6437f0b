#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <semaphore.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace orv_test {

// A write to a program that has ended fails the test instead of killing it;
// the programs the tests start get the default action back.
[[maybe_unused]] static const bool pipe_signal_ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

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

// libfaketime names the clock it shares with its children after the
// process, and removes it only when the process exits: one killed leaves it
// in /dev/shm.
static void forget(const process &ended)
{
    shm_unlink(("/faketime_shm_" + std::to_string(ended.pid)).c_str());
    sem_unlink(("/faketime_sem_" + std::to_string(ended.pid)).c_str());
}

process::~process()
{
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (pid > 0)
        forget(*this);
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
            forget(*this);
            pid = -1;
            return -1;
        }
        usleep(2000);
    }
    forget(*this);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void process::close_input()
{
    close(input);
    input = -1;
}

// Opens what joins the test to one of orv's standard streams, a pipe or a
// pseudo-terminal (the test holding its controller), both ends close-on-exec.
static bool open_stream(bool terminal, bool orv_reads, int &ours, int &orvs)
{
    winsize size{};
    size.ws_col = 200;
    size.ws_row = 50;
    int ends[2];
    if (terminal) {
        if (openpty(&ours, &orvs, nullptr, nullptr, &size) != 0)
            return false;
    } else {
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        ours = ends[orv_reads ? 1 : 0];
        orvs = ends[orv_reads ? 0 : 1];
    }
    fcntl(ours, F_SETFD, FD_CLOEXEC);
    fcntl(orvs, F_SETFD, FD_CLOEXEC);
    return true;
}

// Starts a program on the three descriptors, with SIGPIPE back at its
// default action. Returns its pid, or -1 (failing the test).
static pid_t spawn_program(const std::vector<std::string> &arguments, int input, int output, int error,
                           char *const *envp = environ)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, error, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> words = arguments;
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int failure = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        ADD_FAILURE() << "cannot start " << arguments[0] << ": " << std::strerror(failure);
        return -1;
    }
    return pid;
}

std::vector<std::string> orv_command()
{
    std::vector<std::string> words;
    std::istringstream runner(getenv("ORV_RUNNER") != nullptr ? getenv("ORV_RUNNER") : "");
    for (std::string word; runner >> word;)
        words.push_back(word);
    const char *binary = getenv("ORV_BINARY");
    words.push_back(binary != nullptr && *binary != '\0' ? binary : ORV_BINARY);
    return words;
}

std::string orv_command_line()
{
    std::string line;
    for (const auto &word : orv_command())
        line += (line.empty() ? "" : " ") + word;
    return line;
}

void start_orv(process &started, const run_options &options)
{
    int input[2], output[2], error[2];
    ASSERT_EQ(pipe2(error, O_CLOEXEC), 0);
    ASSERT_TRUE(open_stream(options.input_from_terminal, true, input[1], input[0]));
    ASSERT_TRUE(open_stream(options.output_to_terminal, false, output[0], output[1]));
    if (options.unreadable_input) {
        int unreadable = options.input_from_terminal ? open(ttyname(input[0]), O_WRONLY | O_NOCTTY | O_CLOEXEC)
                                                     : open("/", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(unreadable, 0) << std::strerror(errno);
        close(input[0]);
        input[0] = unreadable;
    }
    if (options.nonblocking_output)
        fcntl(output[1], F_SETFL, O_NONBLOCK);
    if (options.nonblocking_input)
        fcntl(input[0], F_SETFL, O_NONBLOCK);
    // A fake clock is libfaketime preloaded into orv, not the faketime
    // program, which names a semaphore after its process id and fails when
    // one killed at a test's end left that name. It cannot reach a static
    // orv, but would reach the clock of the emulator that runs one: the
    // whole clock stays real there.
    std::vector<std::string> words = options.wrapper, environment = options.environment;
    if (!options.clock.empty() && (getenv("ORV_RUNNER") == nullptr || *getenv("ORV_RUNNER") == '\0'))
        environment.insert(environment.end(), {"LD_PRELOAD=" ORV_LIBFAKETIME, "FAKETIME=" + options.clock});
    for (const auto &word : orv_command())
        words.push_back(word);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    environment.push_back(std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    for (const char *passed : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (getenv(passed))
            environment.push_back(std::string(passed) + "=" + getenv(passed));
    std::vector<char *> envp;
    for (auto &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    started.pid = spawn_program(words, input[0], output[1], error[1], envp.data());
    close(input[0]);
    close(output[1]);
    close(error[1]);
    ASSERT_GT(started.pid, 0);
    started.input = input[1];
    started.output = output[0];
    started.error = error[0];
}

void send_text(int descriptor, std::string_view text)
{
    while (!text.empty()) {
        ssize_t written = send(descriptor, text.data(), text.size(), 0);
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
    // Nothing is timed by the start: under the sanitizers, libfaketime and
    // a busy machine it may take a while.
    peer = peer_listener.accept_one(6 * patience);
    EXPECT_GE(peer, 0) << "orv did not connect";
    login = read_until(peer, "USER ");
    if (!login.ends_with("\r\n"))
        login += read_until(peer, "\r\n", 1s);
    std::size_t nick = login.find("NICK ") + 5;
    if (!options.welcomed || nick < 5)
        return;
    send_text(peer, ":hub 001 " + login.substr(nick, login.find("\r\n", nick) - nick) + " :Welcome\r\n");
    if (!read_until(orv.output, "Welcome").ends_with("\n")) // a terminal ends it with CR LF
        read_until(orv.output, "\n", 1s);
}

std::string session::end_input()
{
    orv.close_input();
    std::string rest = read_to_end(peer);
    close(peer);
    peer = -1;
    return rest;
}

session::~session()
{
    if (peer >= 0)
        close(peer);
}

int run_program(const std::vector<std::string> &arguments, std::string *output, duration timeout)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(null);
        return -1;
    }
    pid_t pid = spawn_program(arguments, null, out[1], null);
    close(null);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    std::string text = read_to_end(out[0], timeout);
    close(out[0]);
    if (output != nullptr)
        *output = text;
    process waited;
    waited.pid = pid;
    return waited.wait_for_exit(timeout);
}

bool wait_for_port(int port, duration timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    for (;;) {
        int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool accepted = connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(descriptor);
        if (accepted)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(20000);
    }
}

temporary_directory::temporary_directory()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/orv-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    // Servers that drop root privileges still read what the test puts here.
    chmod(pattern.c_str(), 0755);
    path = pattern;
}

temporary_directory::~temporary_directory()
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

std::string fill_template(std::string_view name,
                          const std::vector<std::pair<std::string, std::string>> &values)
{
    std::string path = std::string(ORV_SOURCE_DIR) + "/tests/e2e/" + std::string(name);
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::stringstream read;
    read << file.rdbuf();
    std::string text = read.str();
    for (const auto &[key, value] : values) {
        std::string marker = "@" + key + "@";
        for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
            text.replace(at, marker.size(), value);
    }
    static const std::regex marker("@[A-Z_]+@");
    EXPECT_FALSE(std::regex_search(text, marker)) << "a marker was left unfilled in " << name;
    return text;
}

void write_file(const std::string &path, std::string_view text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    ASSERT_TRUE(file.good()) << "cannot write " << path;
}

daemon_process::~daemon_process()
{
    stop();
}

void daemon_process::start(const std::vector<std::string> &arguments, const std::string &log)
{
    log_path = log;
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid = spawn_program(arguments, null, out, out);
    close(null);
    close(out);
}

bool daemon_process::running()
{
    return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
}

void daemon_process::stop()
{
    if (pid <= 0)
        return;
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGTERM);
        process waited;
        waited.pid = pid;
        waited.wait_for_exit(5s); // kills it outright when it lingers
    }
    pid = -1;
}

std::string daemon_process::log() const
{
    std::ifstream file(log_path);
    std::stringstream read;
    read << file.rdbuf();
    return read.str();
}

console_user::console_user(std::string name, int port) : nick(std::move(name))
{
    run_options options;
    options.arguments = {"-h", "127.0.0.1", "-p", std::to_string(port), "-n", nick};
    start_orv(orv, options);
}

void console_user::type(std::string_view line)
{
    send_text(orv.input, std::string(line) + "\n");
}

bool console_user::saw(std::string_view line, duration timeout)
{
    std::string wanted = "\n" + std::string(line);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (without_times("\n" + shown).find(wanted) != std::string::npos)
            return true;
        auto left = std::chrono::duration_cast<duration>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_readable(orv.output, left))
            return false;
        // Whole lines only, so that no timestamp is ever cut in two.
        std::string more;
        if (!read_some(orv.output, more))
            return false;
        pending += more;
        std::size_t end = pending.rfind('\n');
        if (end == std::string::npos)
            continue;
        shown += without_times(pending.substr(0, end + 1));
        pending.erase(0, end + 1);
    }
}

relay::relay(int target_port) : server_port(target_port)
{
    if (pipe2(stop_pipe, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
    worker = std::thread([this] { forward(); });
}

relay::~relay()
{
    if (write(stop_pipe[1], "x", 1) != 1)
        ADD_FAILURE() << "cannot stop the relay";
    worker.join();
    close(stop_pipe[0]);
    close(stop_pipe[1]);
}

std::string relay::from_server()
{
    std::lock_guard<std::mutex> lock(guard);
    return server_bytes;
}

std::string relay::from_client()
{
    std::lock_guard<std::mutex> lock(guard);
    return client_bytes;
}

void relay::forward()
{
    pollfd waiting[2] = {{entry.descriptor, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    while (poll(waiting, 2, -1) < 0 && errno == EINTR) {
    }
    if (waiting[1].revents != 0)
        return;
    int client = accept4(entry.descriptor, nullptr, nullptr, SOCK_CLOEXEC);
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(server_port));
    if (client < 0 || connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(client);
        close(server);
        return;
    }
    pollfd watched[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    for (;;) {
        if (poll(watched, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[2].revents != 0)
            break;
        bool connected = true;
        for (int side = 0; side < 2 && connected; ++side) {
            if (watched[side].revents == 0)
                continue;
            char chunk[65536];
            ssize_t got = read(watched[side].fd, chunk, sizeof chunk);
            if (got <= 0) {
                connected = false;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(guard);
                (side == 0 ? client_bytes : server_bytes).append(chunk, static_cast<std::size_t>(got));
            }
            for (ssize_t sent = 0, done = 0; done < got && connected; done += sent) {
                sent = send(watched[1 - side].fd, chunk + done, static_cast<std::size_t>(got - done), 0);
                connected = sent > 0;
            }
        }
        if (!connected)
            break;
    }
    close(client);
    close(server);
}

void start_irc_server(daemon_process &server, std::string_view kind, const std::string &directory,
                      int port, std::string_view extra)
{
    std::string name(kind);
    std::string config = directory + "/" + name + ".conf";
    write_file(config, fill_template(name + ".conf.in", {{"PORT", std::to_string(port)}, {"DIRECTORY", directory}}) +
                           std::string(extra));
    std::vector<std::string> command;
    if (kind == "ngircd") {
        command = {"ngircd", "--nodaemon", "--config", config};
    } else {
        write_file(directory + "/motd.txt", "orv test\n");
        command = {"inspircd", "--nofork", "--nopid", "--config", config};
        if (geteuid() == 0) // it refuses root unless told
            command.push_back("--runasroot");
    }
    server.start(command, directory + "/" + name + ".log");
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!wait_for_port(port, 100ms)) {
        if (!server.running() || std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << name << " did not come up on port " << port << "; its log:\n" << server.log();
            server.stop();
            return;
        }
    }
}

} // namespace orv_test
