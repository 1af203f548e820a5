#include "support/run_process.h"

#include "support/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extra_env,
                          std::chrono::milliseconds limit)
{
    ProcessResult result;
    std::array<int, 2> out_pipe{};
    std::array<int, 2> err_pipe{};
    if (pipe2(out_pipe.data(), O_CLOEXEC) != 0 || pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
        result.err = std::string("pipe2: ") + std::strerror(errno);
        return result;
    }
    Command command;
    command.argv = argv;
    command.env = process_environment(extra_env);
    command.streams = {{{-1, "/dev/null", O_RDONLY}, {out_pipe[1], "", 0}, {err_pipe[1], "", 0}}};
    command.close_after_spawn = {out_pipe[1], err_pipe[1]};
    command.limit = limit;
    // Both streams are read until they end, whenever the program itself ends.
    const std::array<std::pair<int, std::string*>, 2> sinks{
        {{out_pipe[0], &result.out}, {err_pipe[0], &result.err}}};
    for (const auto& [read_end, text] : sinks) {
        command.watches.push_back({read_end, [fd = read_end, sink = text](short) {
                                       std::array<char, 4096> chunk{};
                                       const ssize_t got = read(fd, chunk.data(), chunk.size());
                                       if (got > 0) {
                                           sink->append(chunk.data(),
                                                        static_cast<std::size_t>(got));
                                       }
                                       return got > 0;
                                   }});
    }
    const Reaped reaped = process_run(command);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err += reaped.error;
    result.status = reaped.status;
    result.timed_out = reaped.timed_out;
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(reaped.wall);
    return result;
}
