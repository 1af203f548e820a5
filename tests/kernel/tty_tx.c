/* tty-tx DEVICE [send]: prints how many bytes the driver has sent on DEVICE's line since it was
 * probed (TIOCGICOUNT). With send, first writes one byte and waits for it to go out, so that a
 * case can show the count would have seen bytes. Opening the line sends nothing. */
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "send") != 0)) {
        fputs("usage: tty-tx DEVICE [send]\n", stderr);
        return 64;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct serial_icounter_struct counts;
    memset(&counts, 0, sizeof counts);
    if (fd < 0 || (argc == 3 && (write(fd, "U", 1) != 1 || tcdrain(fd) != 0)) ||
        ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("%d\n", counts.tx);
    close(fd);
    return 0;
}
