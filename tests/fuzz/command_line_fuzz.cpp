// Arguments for parse_command_line, taken from the input split at NUL bytes.
// exit_with_error ends the process with std::exit; this target is linked
// with --wrap=exit so that the exit comes back here instead. Checked: an
// exit is status 1 with the usage text or the version banner on standard
// error; otherwise host, port and keyword point at their defaults or into
// the arguments, and nick stays terminated within its array.
#include "fuzz_support.hpp"

#include "core/client.hpp"
#include "core/startup.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <unistd.h>
#include <vector>

static std::jmp_buf *exit_trap = nullptr; // armed while the parser runs
static int exit_status = 0;

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (exit_trap == nullptr)
        __real_exit(status);
    std::jmp_buf *trap = exit_trap;
    exit_trap = nullptr;
    exit_status = status;
    std::longjmp(*trap, 1);
}

static int error_pipe = -1; // read end of the pipe behind descriptor 2 during a call
static int error_write = -1;
static int real_error = -1;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::abort();
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    error_pipe = ends[0];
    error_write = ends[1];
    real_error = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
    // Sanitizer reports go to the real standard error even while descriptor
    // 2 is the pipe.
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(real_error)));
    return 0;
}

static bool points_into(const char *pointer, const std::vector<std::string> &arguments)
{
    for (const std::string &argument : arguments)
        if (pointer >= argument.data() && pointer <= argument.data() + argument.size())
            return true;
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace orv_fuzz;
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> arguments{"orv"};
    for (std::size_t start = 0; start <= input.size() && arguments.size() < 64;) {
        std::size_t end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        arguments.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    reset_client();
    const char *first_host = orv::client.host;
    const char *first_port = orv::client.port;
    std::jmp_buf trap;
    bool exited = false;
    dup2(error_write, STDERR_FILENO);
    if (setjmp(trap) == 0) {
        exit_trap = &trap;
        orv::parse_command_line(static_cast<int>(argv.size() - 1), argv.data());
        exit_trap = nullptr;
    } else {
        exited = true;
    }
    dup2(real_error, STDERR_FILENO);
    std::string error = take_pending(error_pipe);

    check_record_texts(input);
    if (exited) {
        bool usage = error == "usage: orv [-h host] [-p port] [-n nick] [-k keyword] [-v]\n";
        bool banner = error.starts_with("orv-1.3") && error.find('\n') == error.size() - 1;
        if (exit_status != 1 || !(usage || banner))
            fail("an exit other than status 1 with the usage text or banner", input, error);
        return 0;
    }
    if (!error.empty())
        fail("the parser wrote to standard error and went on", input, error);
    const orv::client_record &c = orv::client;
    if (c.host != first_host && !points_into(c.host, arguments))
        fail("host points neither at its default nor into the arguments", input, "");
    if (c.port != first_port && !points_into(c.port, arguments))
        fail("port points neither at its default nor into the arguments", input, "");
    if (c.keyword != nullptr && !points_into(c.keyword, arguments))
        fail("keyword points outside the arguments", input, "");
    return 0;
}
