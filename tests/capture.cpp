#include "capture.hpp"

#include "text/text.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace orv_test {

void reset_client(const char *default_channel)
{
    // The writer formats the timestamp once a minute: keep the one it made.
    auto time_text = orv::client.time_text;
    orv::client = orv::client_record{};
    orv::client.time_text = time_text;
    orv::strlcpy(orv::client.nick.data(), "bob", orv::nick_capacity);
    orv::client.host = "irc.test";
    orv::client.welcomed = orv::client.registered = true;
    orv::strlcpy(orv::client.default_channel.data(), default_channel, orv::channel_capacity);
}

static std::string drain(int descriptor)
{
    std::string text;
    char chunk[65536];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    close(descriptor);
    return text;
}

captured capture(const std::function<void()> &action)
{
    int server[2], console[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server), 0);
    EXPECT_EQ(pipe(console), 0);
    std::fflush(stdout);
    int saved_stdout = dup(STDOUT_FILENO);
    dup2(console[1], STDOUT_FILENO);
    close(console[1]);
    orv::client.server_stream = server[0];
    action();
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(server[0]);
    orv::client.server_stream = -1;
    fcntl(console[0], F_SETFL, O_NONBLOCK);
    static const std::regex timestamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}");
    return {std::regex_replace(drain(console[0]), timestamp, "T"), drain(server[1])};
}

void put_line(std::string_view text)
{
    ASSERT_LT(text.size(), orv::line_capacity);
    std::memcpy(orv::client.line_buffer.data(), text.data(), text.size());
    orv::client.line_buffer[text.size()] = '\0';
}

std::string shown(std::string_view column, std::string_view text)
{
    std::string line(column);
    if (line.size() < 12)
        line.append(12 - line.size(), ' ');
    return line.append(": T ").append(text).append("\n");
}

std::vector<cut_row> cuts_at(std::size_t keep, char filler)
{
    std::string kept(keep - 1, filler), full = kept + filler;
    return {{"c2", kept + "\xc2\x80!", kept},         {"df", kept + "\xdf\xbf!", kept},
            {"e0", kept + "\xe0\xa0\x80!", kept},     {"ef", kept + "\xef\xbf\xbf!", kept},
            {"f0", kept + "\xf0\x90\x80\x80!", kept}, {"f4", kept + "\xf4\x8f\xbf\xbf!", kept},
            {"under", kept, kept},                    {"at", full, full},
            {"over", full + filler, full}};
}

} // namespace orv_test
