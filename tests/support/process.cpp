#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

std::string failed(const std::string& call, int error)
{
    return call + ": " + std::strerror(error);
}

// What is left of command's limit, for poll: -1 without a limit, 0 once it has passed.
int left_ms(const Command& command, Clock::time_point start)
{
    if (command.limit.count() <= 0) {
        return -1;
    }
    // Rounded up: the program is killed only once the whole limit has passed.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(command.limit - (Clock::now() - start));
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Serves command's watches (and with until_exit waits for the exit) until it is time to reap;
// kills the program at its limit or when serving fails.
void serve(const Command& command, pid_t pid, Clock::time_point start, Reaped& reaped)
{
    std::vector<pollfd> fds;
    for (const Watch& watch : command.watches) {
        fds.push_back({watch.fd, POLLIN, 0});
    }
    std::size_t watched = fds.size();
    if (command.until_exit) {
        // Debian 12's <sys/pidfd.h> lacks C linkage for C++, hence the raw system call.
        const auto pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) {
            reaped.error = failed("pidfd_open", errno);
            kill(pid, SIGKILL);
            return;
        }
        fds.push_back({pidfd, POLLIN, 0});
    }
    while (command.until_exit || watched > 0) {
        const int timeout_ms = left_ms(command, start);
        if (timeout_ms == 0) {
            reaped.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds.data(), fds.size(), timeout_ms) < 0) {
            if (errno == EINTR) {
                continue;
            }
            reaped.error = failed("poll", errno);
            kill(pid, SIGKILL);
            break;
        }
        if (command.until_exit && fds.back().revents != 0) {
            break; // the program has exited
        }
        for (std::size_t i = 0; i < command.watches.size(); ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0 &&
                !command.watches[i].ready(fds[i].revents)) {
                fds[i].fd = -1;
                --watched;
            }
        }
    }
    if (command.until_exit) {
        close(fds.back().fd);
    }
}

} // namespace

Reaped process_run(const Command& command)
{
    Reaped reaped;
    std::vector<std::string> args = command.argv;
    std::vector<std::string> env = command.env;
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < static_cast<int>(command.streams.size()); ++target) {
        const Stream& stream = command.streams[static_cast<std::size_t>(target)];
        if (stream.fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stream.fd, target);
        } else if (!stream.path.empty()) {
            posix_spawn_file_actions_addopen(&actions, target, stream.path.c_str(), stream.flags,
                                             0644);
        }
    }

    // The wall time counts from here to wait4's return and nothing of the set-up above.
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    const int spawned =
        command.search_path
            ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data())
            : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (const int fd : command.close_after_spawn) {
        close(fd);
    }
    if (spawned != 0) {
        reaped.error = failed(
            command.search_path ? "posix_spawnp: " + args[0] : "posix_spawn: " + args[0], spawned);
        return reaped;
    }
    if (command.spawned) {
        command.spawned(pid);
    }
    serve(command, pid, start, reaped);
    int wait_status = 0;
    while (wait4(pid, &wait_status, 0, &reaped.usage) < 0) {
        if (errno != EINTR) {
            reaped.error = failed("wait4", errno);
            return reaped;
        }
    }
    reaped.wall = Clock::now() - start;
    if (WIFEXITED(wait_status)) {
        reaped.status = WEXITSTATUS(wait_status);
    } else {
        reaped.status = WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : 1;
    }
    return reaped;
}

std::vector<std::string> process_environment(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    for (const std::string& setting : changes) {
        const std::string name = setting.substr(0, setting.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
        if (setting.size() > name.size()) {
            env.push_back(setting);
        }
    }
    return env;
}
