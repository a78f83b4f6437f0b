// flood: a loopback peer that floods readers with typical server lines.
//
//   flood time  [-n LINES] [-r ROUNDS] --orv PATH --floor PATH --bytes PATH
//               [--reader NAME=PATH ...]
//       Times the readers given (orv, the floor reader, the byte-at-a-time
//       reader, any other by its name) on the same LINES lines (default
//       100000), in rounds that alternate them in the order given; prints
//       each round's seconds and CPU microseconds a line, then lines per
//       second, CPU time and peak RSS over the rounds, and,
//       when the first three ran, the time ratios orv/floor and bytes/orv
//       (medians over the rounds, with their spread).
//   flood count [-n LINES,...] --orv PATH
//       For each count (default 1000,10000,100000,1000000) floods orv with
//       stdout on a pipe and checks that it showed every line, in order;
//       prints the peak RSS at each count.
//   flood idle [-n SECONDS] --orv PATH
//       Leaves orv idle after a short flood and counts its wake-ups over
//       SECONDS (default 5).
//
// Each reader is started with host 127.0.0.1 and the port, standard input
// on a pipe that stays open and idle, and ends (status 1) when the peer
// closes the connection after the last line. A run is timed from the
// accepted connection to the reader's exit.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "flood: %s\n", why.c_str());
    std::exit(2);
}

// A small deterministic generator, so every reader gets the same bytes.
struct generator {
    std::uint64_t state = 88172645463325252ull;
    unsigned next(unsigned bound)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<unsigned>(state % bound);
    }
};

const char *const words[] = {"the",  "a",     "server", "is",    "back",  "lunch", "ok",
                             "did",  "you",   "see",    "build", "green", "again", "why",
                             "kernel", "patch", "merged", "tonight", "thanks", "lol",
                             "which", "branch", "i", "think", "so", "no", "coffee"};

// Line number i (counting from 0) carries i as the first word of its text,
// which is how count mode checks the order.
void append_line(std::string &out, unsigned long i, generator &random)
{
    char head[128];
    unsigned kind = random.next(20);
    if (i == 0) // the welcome, without which orv ends as refused when the server closes
        std::snprintf(head, sizeof head, ":irc.test 001 bob :%lu", i);
    else if (kind == 0) // a NAMES reply
        std::snprintf(head, sizeof head, ":irc.test 353 bob = #den :%lu", i);
    else if (kind == 1) // a message of the day line
        std::snprintf(head, sizeof head, ":irc.test 372 bob :%lu -", i);
    else
        std::snprintf(head, sizeof head, ":nick%u!user%u@host%u.example.org PRIVMSG #chan%u :%lu",
                      random.next(50), random.next(50), random.next(9), random.next(4), i);
    out += head;
    unsigned count = 1 + random.next(24);
    for (unsigned w = 0; w < count; ++w) {
        out += ' ';
        out += words[random.next(std::size(words))];
    }
    out += "\r\n";
}

std::string make_lines(unsigned long count)
{
    std::string out;
    out.reserve(count * 100);
    generator random;
    for (unsigned long i = 0; i < count; ++i)
        append_line(out, i, random);
    return out;
}

struct peer {
    int descriptor = -1;
    int port = 0;
    peer()
    {
        descriptor = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (descriptor < 0 || bind(descriptor, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            listen(descriptor, 1) != 0 ||
            getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            fail("cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
    }
    ~peer() { close(descriptor); }
};

struct child {
    pid_t pid = -1;
    int input = -1;  // write end of its standard input, kept open and idle
    int output = -1; // read end of its standard output, or -1 for /dev/null
    int error = -1;
};

// The peer and the reader each get a core of their own, when there are two:
// fewer migrations, steadier figures.
void pin_to_cpu(int cpu)
{
    if (std::thread::hardware_concurrency() < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

child start(const std::vector<std::string> &command, bool output_to_pipe)
{
    int in[2], out[2] = {-1, -1}, err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        (output_to_pipe && pipe2(out, O_CLOEXEC) != 0))
        fail("pipe");
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        pin_to_cpu(1);
        dup2(in[0], 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(output_to_pipe ? out[1] : null, 1);
        dup2(err[1], 2);
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        setenv("USER", "bench", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(err[1]);
    if (output_to_pipe)
        close(out[1]);
    return {pid, in[1], out[0], err[0]};
}

int accept_within(int listening, int seconds)
{
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listening, &ready);
    timeval limit{seconds, 0};
    if (select(listening + 1, &ready, nullptr, nullptr, &limit) != 1)
        return -1;
    return accept(listening, nullptr, nullptr);
}

void send_all(int descriptor, const std::string &text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("the reader stopped reading");
        sent += static_cast<std::size_t>(n);
    }
}

std::string read_all(int descriptor)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(descriptor, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

struct outcome {
    double seconds = 0;
    double cpu_seconds = 0; // user and system time of the reader
    long peak_kib = 0;
    long private_kib = 0; // anonymous memory: what the process does not share
    int status = -1;
    std::string error_text;
};

// A field of /proc/PID/status as a number (KiB for sizes), or -1.
long status_field(pid_t pid, const char *name)
{
    std::FILE *status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long value = -1;
    std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, name, length) == 0 && line[length] == ':')
            value = std::atol(line + length + 1);
    std::fclose(status);
    return value;
}

// The peak resident size of a running process, in KiB. The rusage of a
// child cannot tell: its ru_maxrss keeps the size of the forked copy of
// this process from before the exec. VmHWM counts from the exec on.
long peak_rss(pid_t pid) { return status_field(pid, "VmHWM"); }

// Ends the child and collects its status and standard error.
void finish(child &c, outcome &result)
{
    int status = 0;
    rusage usage{};
    if (wait4(c.pid, &status, 0, &usage) != c.pid)
        fail("wait4");
    auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    result.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.error_text = read_all(c.error);
    close(c.error);
    close(c.input);
}

// One timed run: flood, note the peak RSS, close, wait for the exit.
outcome time_one(const std::vector<std::string> &command, const std::string &lines)
{
    peer listening;
    std::vector<std::string> full = command;
    full.insert(full.begin() + 1, {"-h", "127.0.0.1", "-p", std::to_string(listening.port)});
    child c = start(full, false);
    int connection = accept_within(listening.descriptor, 10);
    if (connection < 0) {
        kill(c.pid, SIGKILL);
        fail("no connection from " + command[0]);
    }
    auto begin = clock_type::now();
    send_all(connection, lines);
    outcome result;
    result.peak_kib = peak_rss(c.pid);
    result.private_kib = status_field(c.pid, "RssAnon");
    shutdown(connection, SHUT_WR);
    finish(c, result);
    result.seconds = std::chrono::duration<double>(clock_type::now() - begin).count();
    close(connection);
    if (result.status != 1 || result.error_text.find("remote host closed connection") == std::string::npos)
        fail(command[0] + " ended with status " + std::to_string(result.status) + ": " +
             result.error_text);
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string spread(const std::vector<double> &values, const char *format)
{
    auto [low, high] = std::minmax_element(values.begin(), values.end());
    char text[96];
    std::snprintf(text, sizeof text, format, *low, *high);
    return text;
}

struct reader {
    std::string name, path;
};

int time_readers(unsigned long count, int rounds, const std::vector<reader> &readers)
{
    std::string lines = make_lines(count);
    std::printf("flood: %lu lines (%zu bytes, %.1f bytes a line), %d rounds alternating", count,
                lines.size(), double(lines.size()) / double(count), rounds);
    for (const reader &r : readers)
        std::printf(" %s", r.name.c_str());
    std::printf("\n");
    std::size_t n = readers.size();
    std::vector<std::vector<double>> seconds(n), cpu(n); // cpu: microseconds a line
    std::vector<std::vector<long>> peaks(n), privates(n);
    for (int round = 0; round < rounds; ++round) {
        std::printf("  round %d:", round + 1);
        for (std::size_t r = 0; r < n; ++r) {
            outcome o = time_one({readers[r].path}, lines);
            seconds[r].push_back(o.seconds);
            cpu[r].push_back(o.cpu_seconds * 1e6 / double(count));
            peaks[r].push_back(o.peak_kib);
            privates[r].push_back(o.private_kib);
            std::printf("%s %s %.3f s %.3f us", r == 0 ? "" : ",", readers[r].name.c_str(), o.seconds,
                        cpu[r].back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("\n%-15s %10s %24s %18s %13s %13s\n", "reader", "lines/s", "seconds (min..max)",
                "CPU us/line", "peak RSS KiB", "private KiB");
    for (std::size_t r = 0; r < n; ++r)
        std::printf("%-15s %10.0f %9.3f %14s %8.2f %9s %13ld %13ld\n", readers[r].name.c_str(),
                    double(count) / median(seconds[r]), median(seconds[r]),
                    spread(seconds[r], "(%.3f..%.3f)").c_str(), median(cpu[r]),
                    spread(cpu[r], "(%.2f..%.2f)").c_str(),
                    *std::max_element(peaks[r].begin(), peaks[r].end()),
                    *std::max_element(privates[r].begin(), privates[r].end()));
    // The ratios of the usual three, when they ran: orv against the floor
    // and the byte-at-a-time reader against orv, round by round.
    auto find = [&](const char *name) {
        std::size_t r = 0;
        while (r < n && readers[r].name != name)
            ++r;
        return r;
    };
    std::size_t orv = find("orv"), floor = find("floor"), bytes = find("byte-at-a-time");
    if (orv == n || floor == n || bytes == n)
        return 0;
    std::vector<double> orv_floor, bytes_orv;
    for (int round = 0; round < rounds; ++round) {
        orv_floor.push_back(seconds[orv][round] / seconds[floor][round]);
        bytes_orv.push_back(seconds[bytes][round] / seconds[orv][round]);
    }
    std::printf("\norv/floor time ratio:      %.2f %s  (goal <= 1.2)\n", median(orv_floor),
                spread(orv_floor, "(%.2f..%.2f)").c_str());
    std::printf("byte-at-a-time/orv ratio:  %.1f %s  (goal >= 15)\n", median(bytes_orv),
                spread(bytes_orv, "(%.1f..%.1f)").c_str());
    return 0;
}

// Checks orv's console lines: the text after the timestamp starts with the
// line's number, after "<nick> " for a message and after "): " otherwise.
// Returns the number of lines in order; stops at the first that is not.
struct order_check {
    unsigned long expected = 0;
    std::string partial;
    bool broken = false;
    std::string first_wrong;
    void feed(const char *data, std::size_t size)
    {
        partial.append(data, size);
        std::size_t start = 0, end;
        while (!broken && (end = partial.find('\n', start)) != std::string::npos) {
            check(partial.substr(start, end - start));
            start = end + 1;
        }
        partial.erase(0, start);
    }
    void check(const std::string &line)
    {
        std::size_t colon = line.find(": ", 12);
        std::size_t text = colon == std::string::npos ? line.size() : colon + 2 + 17;
        std::size_t after = std::string::npos;
        if (text < line.size() && line[text] == '<')
            after = line.find("> ", text);
        else if (text < line.size())
            after = line.find("): ", text);
        unsigned long number = 0;
        if (after != std::string::npos) {
            after += line[after] == '>' ? 2 : 3;
            char *stop = nullptr;
            number = std::strtoul(line.c_str() + after, &stop, 10);
            if (stop == line.c_str() + after)
                after = std::string::npos;
        }
        if (after == std::string::npos || number != expected) {
            broken = true;
            first_wrong = line;
            return;
        }
        ++expected;
    }
};

int count_lines(const std::vector<unsigned long> &counts, const std::string &orv)
{
    int failures = 0;
    std::printf("%12s %12s %10s %14s %13s %10s\n", "lines sent", "shown", "in order",
                "peak RSS KiB", "private KiB", "seconds");
    for (unsigned long count : counts) {
        std::string lines = make_lines(count);
        peer listening;
        child c = start({orv, "-h", "127.0.0.1", "-p", std::to_string(listening.port)}, true);
        int connection = accept_within(listening.descriptor, 10);
        if (connection < 0)
            fail("no connection from orv");
        auto begin = clock_type::now();
        std::atomic<bool> sent = false;
        std::thread sender([&] {
            send_all(connection, lines);
            sent = true;
        });
        // Once orv has shown all (or shows nothing more for a while after
        // the last line left), note its peak RSS and close the connection.
        order_check order;
        outcome result;
        bool closed = false;
        char chunk[65536];
        for (;;) {
            if (!closed && (order.expected == count || order.broken)) {
                result.peak_kib = peak_rss(c.pid);
                result.private_kib = status_field(c.pid, "RssAnon");
                shutdown(connection, SHUT_WR);
                closed = true;
            }
            pollfd ready{c.output, POLLIN, 0};
            if (poll(&ready, 1, 5000) == 0) {
                if (closed)
                    fail("orv did not end after the connection closed");
                if (sent)
                    order.broken = true;
                continue;
            }
            ssize_t n = read(c.output, chunk, sizeof chunk);
            if (n <= 0)
                break;
            order.feed(chunk, static_cast<std::size_t>(n));
        }
        sender.join();
        finish(c, result);
        double seconds = std::chrono::duration<double>(clock_type::now() - begin).count();
        close(connection);
        close(c.output);
        bool all = !order.broken && order.expected == count && order.partial.empty() &&
                   result.status == 1;
        failures += all ? 0 : 1;
        std::printf("%12lu %12lu %10s %14ld %13ld %10.3f\n", count, order.expected,
                    all ? "yes" : "NO", result.peak_kib, result.private_kib, seconds);
        if (!all)
            std::printf("  first line wrong or missing after the %luth: \"%s\"\n  orv ended: %d %s", order.expected, order.first_wrong.c_str(),
                        result.status, result.error_text.c_str());
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}

// Floods orv briefly, then leaves it idle: between its 120-second waits it
// should not wake at all. Counts its context switches over the idle time.
int watch_idle(int seconds, const std::string &orv)
{
    peer listening;
    child c = start({orv, "-h", "127.0.0.1", "-p", std::to_string(listening.port)}, false);
    int connection = accept_within(listening.descriptor, 10);
    if (connection < 0)
        fail("no connection from orv");
    send_all(connection, make_lines(1000));
    sleep(1);
    long voluntary = status_field(c.pid, "voluntary_ctxt_switches");
    long forced = status_field(c.pid, "nonvoluntary_ctxt_switches");
    sleep(static_cast<unsigned>(seconds));
    long woke = status_field(c.pid, "voluntary_ctxt_switches") - voluntary;
    long preempted = status_field(c.pid, "nonvoluntary_ctxt_switches") - forced;
    shutdown(connection, SHUT_WR);
    outcome result;
    finish(c, result);
    close(connection);
    std::printf("idle for %d s after 1000 lines: %ld wake-ups, %ld preemptions (goal 0)\n", seconds,
                woke, preempted);
    return woke == 0 ? 0 : 1;
}

std::vector<unsigned long> parse_counts(const char *text)
{
    std::vector<unsigned long> counts;
    for (const char *p = text; *p != '\0';) {
        char *stop;
        counts.push_back(std::strtoul(p, &stop, 10));
        p = *stop == ',' ? stop + 1 : stop;
        if (stop == p && *p != '\0')
            fail("bad count list");
    }
    return counts;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        fail("usage: flood time|count|idle [-n LINES] [-r ROUNDS] --orv PATH [--floor PATH --bytes PATH] [--reader NAME=PATH]");
    std::string mode = argv[1];
    std::string orv;
    std::vector<reader> readers; // in the order given
    const char *counts = nullptr;
    int rounds = 5;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "-n")
            counts = argv[i + 1];
        else if (option == "-r")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--orv")
            readers.push_back({"orv", orv = argv[i + 1]});
        else if (option == "--floor")
            readers.push_back({"floor", argv[i + 1]});
        else if (option == "--bytes")
            readers.push_back({"byte-at-a-time", argv[i + 1]});
        else if (option == "--reader" && std::strchr(argv[i + 1], '=') != nullptr) {
            std::string given = argv[i + 1];
            readers.push_back({given.substr(0, given.find('=')), given.substr(given.find('=') + 1)});
        } else
            fail("unknown option " + option);
    }
    signal(SIGPIPE, SIG_IGN);
    pin_to_cpu(0);
    if (mode == "time") {
        if (readers.empty())
            fail("time needs its readers: --orv, --floor, --bytes, --reader NAME=PATH");
        return time_readers(counts ? std::strtoul(counts, nullptr, 10) : 100000, rounds, readers);
    }
    if (mode == "count") {
        if (orv.empty())
            fail("count needs --orv");
        return count_lines(parse_counts(counts ? counts : "1000,10000,100000,1000000"), orv);
    }
    if (mode == "idle") {
        if (orv.empty())
            fail("idle needs --orv");
        return watch_idle(counts ? std::atoi(counts) : 5, orv);
    }
    fail("unknown mode " + mode);
}
