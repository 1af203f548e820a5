#include "child.hpp"

#include "../protocol.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
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

std::vector<std::string> child_environment(const std::string &adapter_path, const Options &options,
                                           const std::string &pty_path, int event_fd)
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
        if (starts_with_name(text, MOTOR_SIM_ENV_DEVICE) ||
            starts_with_name(text, MOTOR_SIM_ENV_PTY) ||
            starts_with_name(text, MOTOR_SIM_ENV_FAULTS) ||
            starts_with_name(text, MOTOR_SIM_ENV_EVENT_FD))
            continue;
        environment.emplace_back(text);
    }
    environment.push_back("LD_PRELOAD=" + preload);
    environment.push_back(std::string(MOTOR_SIM_ENV_DEVICE) + "=" + options.device);
    environment.push_back(std::string(MOTOR_SIM_ENV_PTY) + "=" + pty_path);
    environment.push_back(std::string(MOTOR_SIM_ENV_FAULTS) + "=" + adapter_faults(options));
    environment.push_back(std::string(MOTOR_SIM_ENV_EVENT_FD) + "=" + std::to_string(event_fd));
    return environment;
}

bool child_start(const std::vector<std::string> &command,
                 const std::vector<std::string> &environment, const Signals &signals, pid_t &pid,
                 std::string &error)
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
    std::vector<char *> argv = pointers(command);
    std::vector<char *> envp = pointers(environment);
    result = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
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
