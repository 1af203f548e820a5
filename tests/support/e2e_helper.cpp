// e2e-helper VERB ...: what the end-to-end tests start under motor-sim beside or instead of
// renumber, a program of the build's own (sanitized in a sanitizer build, as the preloaded layer
// requires) doing what no shell could there:
//   lock DEVICE [PROGRAM [ARG]...]  holds an exclusive flock on DEVICE as another program would;
//       alone, asks the installed libserialport (not its version: Debian's 0.1.2 calls itself
//       0.1.1) whether that keeps it out: 0 opened all the same, 1 refused for the lock, 2 other
//       failures; with PROGRAM, runs it holding the lock and exits as it did
//   signals STATE PROGRAM [ARG]...  runs PROGRAM with SIGALRM blocked, ignored, pending (blocked
//       and raised) or timer (ITIMER_REAL every 50 ms from 300 ms on), as exec keeps them
//   write PATH HEX STATUS  writes the bytes HEX spells in one write, then exits with STATUS, or
//       with "killed" by SIGKILL
#include <fcntl.h>
#include <libserialport.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int USAGE = 2;

int library_open(const char* device)
{
    sp_port* port = nullptr;
    if (sp_get_port_by_name(device, &port) != SP_OK) {
        std::fprintf(stderr, "e2e-helper: %s names no serial port\n", device);
        return 2;
    }
    int verdict = 0;
    if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
        sp_close(port);
    } else {
        const int error = sp_last_error_code();
        std::fprintf(stderr, "e2e-helper: sp_open: %s\n", std::strerror(error));
        verdict = error == EWOULDBLOCK ? 1 : 2;
    }
    sp_free_port(port); // freed, so that the probe runs clean under valgrind
    return verdict;
}

int run(char** command)
{
    const pid_t child = fork();
    if (child == 0) {
        execv(command[0], command);
        std::perror("e2e-helper: execv");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        std::perror("e2e-helper: fork");
        return 2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int lock(int argc, char** argv)
{
    const int fd = open(argv[0], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::perror("e2e-helper: lock");
        return 2;
    }
    return argc == 1 ? library_open(argv[0]) : run(argv + 1);
}

int signals(char** argv)
{
    const std::string state = argv[0];
    sigset_t alarm{};
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    if (state == "blocked" || state == "pending") {
        sigprocmask(SIG_BLOCK, &alarm, nullptr);
    }
    if (state == "pending") {
        raise(SIGALRM);
    } else if (state == "ignored") {
        std::signal(SIGALRM, SIG_IGN);
    } else if (state == "timer") {
        const itimerval every_50_ms{{0, 50'000}, {0, 300'000}};
        setitimer(ITIMER_REAL, &every_50_ms, nullptr);
    } else if (state != "blocked") {
        std::fprintf(stderr, "e2e-helper: unknown signal state '%s'\n", state.c_str());
        return USAGE;
    }
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}

int write_bytes(char** argv)
{
    const std::string hex = argv[1];
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::strtol(hex.substr(at, 2).c_str(), nullptr, 16)));
    }
    const int fd = open(argv[0], O_WRONLY | O_NOCTTY);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        return 1;
    }
    if (std::strcmp(argv[2], "killed") == 0) {
        std::raise(SIGKILL);
    }
    return static_cast<int>(std::strtol(argv[2], nullptr, 10));
}

} // namespace

int main(int argc, char** argv)
{
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "lock" && argc >= 3) {
        return lock(argc - 2, argv + 2);
    }
    if (verb == "signals" && argc >= 4) {
        return signals(argv + 2);
    }
    if (verb == "write" && argc == 5 && std::strlen(argv[3]) % 2 == 0) {
        return write_bytes(argv + 2);
    }
    std::fputs("usage: e2e-helper lock DEVICE [PROGRAM [ARG]...] | signals STATE PROGRAM [ARG]... "
               "| write PATH HEX STATUS\n",
               stderr);
    return USAGE;
}
