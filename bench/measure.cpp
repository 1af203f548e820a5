// bench-measure RESULT COMMAND [ARG]...: starts COMMAND, reaps it with wait4 and writes its wall
// time and peak resident memory to RESULT; exits with COMMAND's status.
//
// motor-sim runs this in COMMAND's place, so the figures are renumber's own: motor-sim's set-up
// stays out of the time, and wait4 reports the memory of this one child, not motor-sim's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

int status_of(int wait_status)
{
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: bench-measure RESULT COMMAND [ARG]...\n", stderr);
        return 2;
    }
    const double start_ms = monotonic_ms();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ);
    if (spawned != 0) {
        std::fprintf(stderr, "bench-measure: posix_spawnp: %s: %s\n", argv[2],
                     std::strerror(spawned));
        return 127;
    }
    int wait_status = 0;
    rusage usage{};
    while (wait4(pid, &wait_status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "bench-measure: wait4: %s\n", std::strerror(errno));
            return 1;
        }
    }
    const double wall_ms = monotonic_ms() - start_ms;
    std::FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::fprintf(stderr, "bench-measure: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // ru_maxrss is in KiB on Linux and covers this one child.
    std::fprintf(result, "wall_ms=%.3f max_rss_kib=%ld status=%d\n", wall_ms, usage.ru_maxrss,
                 status_of(wait_status));
    std::fclose(result);
    return status_of(wait_status);
}
