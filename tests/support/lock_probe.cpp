// Holds an exclusive flock on a port the way another program would, and asks the installed
// libserialport, not its version number (Debian's 0.1.2 calls itself 0.1.1), whether that keeps
// it out.
//   lock_probe DEVICE                  exits 0 when the library opens DEVICE all the same, 1 when
//                                      its open fails because of the lock, 2 on other failures
//   lock_probe DEVICE COMMAND [ARG]... runs COMMAND while holding the lock; exits as it did
#include <fcntl.h>
#include <libserialport.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int library_open(const char* device)
{
    sp_port* port = nullptr;
    if (sp_get_port_by_name(device, &port) != SP_OK) {
        std::fprintf(stderr, "lock_probe: %s names no serial port\n", device);
        return 2;
    }
    int verdict = 0;
    if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
        sp_close(port);
    } else {
        const int error = sp_last_error_code();
        std::fprintf(stderr, "lock_probe: sp_open: %s\n", std::strerror(error));
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
        std::perror("lock_probe: execv");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        std::perror("lock_probe: fork");
        return 2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: lock_probe DEVICE [COMMAND [ARG]...]\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::perror("lock_probe: lock");
        return 2;
    }
    return argc == 2 ? library_open(argv[1]) : run(argv + 2);
}
