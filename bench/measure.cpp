// bench-measure RESULT COMMAND [ARG]...: starts COMMAND, reaps it with wait4 and writes its wall
// time and peak resident memory to RESULT; exits with COMMAND's status.
//
// motor-sim runs this in COMMAND's place, so the figures are renumber's own: motor-sim's set-up
// stays out of the time, and wait4 reports the memory of this one child, not motor-sim's.
#include "support/process.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: bench-measure RESULT COMMAND [ARG]...\n", stderr);
        return 2;
    }
    Command command;
    command.argv.assign(argv + 2, argv + argc);
    command.env = process_environment({});
    command.search_path = true;
    const Reaped reaped = process_run(command);
    if (reaped.status < 0) {
        std::fprintf(stderr, "bench-measure: %s\n", reaped.error.c_str());
        return 127;
    }
    std::FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::fprintf(stderr, "bench-measure: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // ru_maxrss is in KiB on Linux and covers this one child.
    std::fprintf(result, "wall_ms=%.3f max_rss_kib=%ld status=%d\n",
                 std::chrono::duration<double, std::milli>(reaped.wall).count(),
                 reaped.usage.ru_maxrss, reaped.status);
    std::fclose(result);
    return reaped.status;
}
