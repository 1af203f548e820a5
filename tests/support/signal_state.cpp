// signal-state STATE PROGRAM [ARG]...: runs PROGRAM with the signal state a parent can leave it,
// which exec keeps: SIGALRM blocked, ignored, or blocked and pending, or an interval timer armed
// (ITIMER_REAL, which raises SIGALRM every 50 ms from 300 ms on).
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: signal-state blocked|ignored|pending|timer PROGRAM [ARG]...\n", stderr);
        return 2;
    }
    const char* state = argv[1];
    sigset_t alarm{};
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    if (std::strcmp(state, "blocked") == 0 || std::strcmp(state, "pending") == 0) {
        sigprocmask(SIG_BLOCK, &alarm, nullptr);
    }
    if (std::strcmp(state, "pending") == 0) {
        raise(SIGALRM);
    } else if (std::strcmp(state, "ignored") == 0) {
        std::signal(SIGALRM, SIG_IGN);
    } else if (std::strcmp(state, "timer") == 0) {
        const itimerval every_50_ms{{0, 50'000}, {0, 300'000}};
        setitimer(ITIMER_REAL, &every_50_ms, nullptr);
    } else if (std::strcmp(state, "blocked") != 0) {
        std::fprintf(stderr, "signal-state: unknown state '%s'\n", state);
        return 2;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
