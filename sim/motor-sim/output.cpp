#include "output.hpp"

#include "trace.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {
namespace {

void close_end(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

bool output_open(CommandOutput &output, std::string &error)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    output.read_end = ends[0];
    output.write_end = ends[1];
    if (fcntl(output.read_end, F_SETFL, O_NONBLOCK) != 0) {
        error = std::string("fcntl: ") + std::strerror(errno);
        close_end(output.read_end);
        close_end(output.write_end);
        return false;
    }
    return true;
}

void output_started(CommandOutput &output)
{
    close_end(output.write_end);
}

std::string output_pump(CommandOutput &output)
{
    std::string fresh;
    char buffer[4096];
    while (output.read_end >= 0) {
        ssize_t got = read(output.read_end, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        if (got <= 0) {
            close_end(output.read_end);
            break;
        }
        std::string_view text(buffer, static_cast<std::size_t>(got));
        fresh += text;
        if (!write_whole(STDOUT_FILENO, text))
            close_end(output.read_end);
    }
    output.kept += fresh;
    return fresh;
}

std::string output_finish(CommandOutput &output)
{
    std::string rest = output_pump(output);
    close_end(output.read_end);
    return rest;
}

} // namespace sim
