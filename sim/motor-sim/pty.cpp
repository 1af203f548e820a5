#include "pty.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {
namespace {

bool fail(std::string &error, const char *call)
{
    error = std::string(call) + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool pty_create(Pty &pty, std::string &error)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return fail(error, "posix_openpt");
    char name[128];
    const char *failed = nullptr;
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
        failed = "fcntl";
    else if (grantpt(master) != 0)
        failed = "grantpt";
    else if (unlockpt(master) != 0)
        failed = "unlockpt";
    else if ((errno = ptsname_r(master, name, sizeof name)) != 0)
        failed = "ptsname_r";
    if (failed != nullptr) {
        fail(error, failed);
        close(master);
        return false;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = "open: " + std::string(name) + ": " + std::strerror(errno);
        close(master);
        return false;
    }
    pty.master = master;
    pty.slave = slave;
    pty.slave_path = name;
    return true;
}

bool pty_serve(Pty &pty, const std::string &path, std::string &error)
{
    int line = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        error = "open: " + path + ": " + std::strerror(errno);
        return false;
    }
    termios settings{};
    if (isatty(line) != 0) {
        // The motors must see the bytes as sent: no echo, no line editing, no translation.
        // CLOCAL: a gadget or UART without carrier still carries data.
        if (tcgetattr(line, &settings) == 0) {
            cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
        }
        if (tcsetattr(line, TCSANOW, &settings) != 0) {
            error = "tcsetattr: " + path + ": " + std::strerror(errno);
            close(line);
            return false;
        }
    }
    pty.master = line;
    pty.slave = -1;
    pty.slave_path = path;
    return true;
}

void pty_hang_up(Pty &pty)
{
    if (pty.master >= 0)
        close(pty.master);
    pty.master = -1;
}

} // namespace sim
