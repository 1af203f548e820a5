#include "child.hpp"

#include "../protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sim {
namespace {

constexpr const char *ADAPTER_FILE = "libmotor-sim-adapter.so";

bool starts_with_name(std::string_view entry, std::string_view name)
{
    return entry.size() > name.size() && entry.substr(0, name.size()) == name &&
           entry[name.size()] == '=';
}

std::vector<char *> pointers(const std::vector<std::string> &texts)
{
    std::vector<char *> out;
    out.reserve(texts.size() + 1);
    for (const std::string &text : texts)
        out.push_back(const_cast<char *>(text.c_str()));
    out.push_back(nullptr);
    return out;
}

// Where pidfd_open is missing (Linux before 5.3, valgrind before 3.20), a pipe stands in for
// the process descriptor: a thread waits for COMMAND to end, leaving it to be reaped, and then
// closes the write end, which makes the read end readable just as the process descriptor would.
int exit_pipe(pid_t child)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    std::thread([child, write_end = ends[1]] {
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
        close(write_end);
    }).detach();
    return ends[0];
}

} // namespace

bool adapter_locate(std::string &path, std::string &error)
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        error = std::string("readlink: /proc/self/exe: ") + std::strerror(errno);
        return false;
    }
    std::string dir(self, static_cast<std::size_t>(length));
    dir.erase(dir.rfind('/'));
    for (const std::string &candidate :
         {dir + "/" + ADAPTER_FILE, dir + "/../lib/renumber/" + ADAPTER_FILE}) {
        if (access(candidate.c_str(), R_OK) != 0)
            continue;
        // The dynamic loader splits LD_PRELOAD at spaces and colons.
        if (candidate.find_first_of(" :") != std::string::npos) {
            error = "cannot preload " + candidate + ": its path contains a space or colon";
            return false;
        }
        path = candidate;
        return true;
    }
    error = std::string("cannot find ") + ADAPTER_FILE + " in " + dir + " or " + dir +
            "/../lib/renumber";
    return false;
}

namespace {

// The environment without the dropped names, with the layer in front of LD_PRELOAD.
std::vector<std::string> preloaded_environment(const std::string &adapter_path,
                                               std::initializer_list<std::string_view> dropped)
{
    std::vector<std::string> environment;
    std::string preload = adapter_path;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string_view text = *entry;
        if (starts_with_name(text, "LD_PRELOAD")) {
            std::string_view previous = text.substr(sizeof "LD_PRELOAD");
            if (!previous.empty())
                preload += ":" + std::string(previous);
            continue;
        }
        if (std::any_of(dropped.begin(), dropped.end(),
                        [text](std::string_view name) { return starts_with_name(text, name); }))
            continue;
        environment.emplace_back(text);
    }
    environment.push_back("LD_PRELOAD=" + preload);
    return environment;
}

} // namespace

std::vector<std::string> child_environment(const std::string &adapter_path, const Options &options,
                                           const std::string &pty_path,
                                           const std::string &sysfs_folder, int event_fd)
{
    std::vector<std::string> environment = preloaded_environment(adapter_path, {MOTOR_SIM_ENV});
    environment.push_back(std::string(MOTOR_SIM_ENV) + "=" +
                          adapter_config(options, pty_path, sysfs_folder, event_fd));
    return environment;
}

std::vector<std::string> tap_environment(const std::string &adapter_path, const std::string &device,
                                         int tap_fd)
{
    std::vector<std::string> environment = preloaded_environment(adapter_path, {MOTOR_SIM_ENV_TAP});
    environment.push_back(std::string(MOTOR_SIM_ENV_TAP) + "=" + tap_config(device, tap_fd));
    return environment;
}

bool child_event_socket(int ends[2])
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    return fcntl(ends[1], F_SETFD, 0) == 0;
}

int child_pidfd(pid_t child, std::string &error)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0 && errno == ENOSYS)
        pidfd = exit_pipe(child);
    if (pidfd < 0) {
        error = std::string("pidfd_open: ") + std::strerror(errno);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return pidfd;
}

bool child_reap(pid_t child, int &status, int &signal)
{
    int wait_status = 0;
    pid_t done;
    do
        done = waitpid(child, &wait_status, WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done != child)
        return false;
    status = exit_status_of(wait_status);
    signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
    return true;
}

bool child_start(const std::vector<std::string> &command,
                 const std::vector<std::string> &environment, const Signals &signals, int output_fd,
                 pid_t &pid, std::string &error)
{
    posix_spawnattr_t attributes;
    int result = posix_spawnattr_init(&attributes);
    if (result == 0)
        result =
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (result == 0)
        result = posix_spawnattr_setsigmask(&attributes, &signals.child_mask);
    if (result == 0)
        result = posix_spawnattr_setsigdefault(&attributes, &signals.child_defaults);
    if (result != 0) {
        error = std::string("posix_spawnattr: ") + std::strerror(result);
        return false;
    }
    posix_spawn_file_actions_t actions;
    result = posix_spawn_file_actions_init(&actions);
    if (result == 0 && output_fd >= 0)
        result = posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    if (result != 0) {
        posix_spawnattr_destroy(&attributes);
        error = std::string("posix_spawn_file_actions: ") + std::strerror(result);
        return false;
    }
    std::vector<char *> argv = pointers(command);
    std::vector<char *> envp = pointers(environment);
    result = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        error = "posix_spawnp: " + command.front() + ": " + std::strerror(result);
        return false;
    }
    return true;
}

int exit_status_of(int wait_status)
{
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return WEXITSTATUS(wait_status);
}

} // namespace sim
