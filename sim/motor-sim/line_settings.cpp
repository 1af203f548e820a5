// Kept apart from everything else: <asm/termbits.h> (termios2) clashes with glibc's
// <termios.h>.
#include "line_settings.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {
namespace {

unsigned data_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

const char *parity(tcflag_t cflag)
{
    if ((cflag & PARENB) == 0)
        return "no parity";
    if ((cflag & CMSPAR) != 0)
        return (cflag & PARODD) != 0 ? "mark parity" : "space parity";
    return (cflag & PARODD) != 0 ? "odd parity" : "even parity";
}

const char *flow_control(const termios2 &t)
{
    if ((t.c_cflag & CRTSCTS) != 0)
        return "RTS/CTS flow control";
    if ((t.c_iflag & (IXON | IXOFF)) != 0)
        return "XON/XOFF flow control";
    return "no flow control";
}

} // namespace

std::string line_settings_text(const LineFlags &flags)
{
    termios2 t{};
    t.c_ospeed = flags.speed;
    t.c_cflag = flags.cflag;
    t.c_iflag = flags.iflag;
    t.c_oflag = flags.oflag;
    t.c_lflag = flags.lflag;
    bool raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
    return std::to_string(t.c_ospeed) + " baud, " + std::to_string(data_bits(t.c_cflag)) +
           " data bits, " + parity(t.c_cflag) + ", " +
           ((t.c_cflag & CSTOPB) != 0 ? "2 stop bits, " : "1 stop bit, ") + flow_control(t) + ", " +
           (raw ? "raw" : "not raw") + ", NOFLSH " + ((t.c_lflag & NOFLSH) != 0 ? "set" : "clear");
}

std::string line_settings_describe(int master)
{
    termios2 t{};
    if (master < 0 || ioctl(master, TCGETS2, &t) != 0)
        return {};
    return line_settings_text({t.c_ospeed, t.c_cflag, t.c_iflag, t.c_oflag, t.c_lflag});
}

} // namespace sim
