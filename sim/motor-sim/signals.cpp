#include "signals.hpp"

#include <cerrno>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace sim {

bool signals_capture(Signals &signals, std::string &error)
{
    sigset_t taken;
    sigemptyset(&taken);
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaddset(&taken, signo);
    sigemptyset(&signals.child_defaults);
    struct sigaction pipe_action {};
    if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL) {
        signal(SIGPIPE, SIG_IGN);
        sigaddset(&signals.child_defaults, SIGPIPE);
    }
    if (sigprocmask(SIG_BLOCK, &taken, &signals.child_mask) != 0) {
        error = std::string("sigprocmask: ") + std::strerror(errno);
        return false;
    }
    signals.fd = signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals.fd < 0) {
        error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int signals_forward(const Signals &signals, pid_t child)
{
    signalfd_siginfo info{};
    int arrived = 0;
    while (read(signals.fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        arrived = static_cast<int>(info.ssi_signo);
        bool from_process =
            info.ssi_code == SI_USER || info.ssi_code == SI_QUEUE || info.ssi_code == SI_TKILL;
        if (from_process && static_cast<pid_t>(info.ssi_pid) != child)
            kill(child, arrived);
    }
    return arrived;
}

bool signals_take(const Signals &signals)
{
    signalfd_siginfo info{};
    bool taken = false;
    while (read(signals.fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        taken = true;
    return taken;
}

} // namespace sim
