#include "serial/line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

long serial_reported_rate(int fd)
{
    // termios2 carries the rate itself, as the driver last encoded it (tty_encode_baud_rate),
    // whatever baud bits stand for it.
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return -1;
    }
    return static_cast<long>(settings.c_ospeed);
}
