/* The tap: with MOTOR_SIM_TAP naming a device, every byte written to it or read from
 * it is reported to motor-sim with the moment it happened, and so are line-setting
 * changes and low-latency requests. Nothing is faked or changed: each call goes to
 * libc (or to the simulation, when a motor-sim runs under the tap) and its result and
 * errno are returned as they were.
 *
 * The tapped descriptors are those whose device number is the named device's (looked
 * up once, when the layer starts; symbolic links such as /dev/serial/by-id/... lead to
 * the same number; for a simulated device, its pseudo-terminal's), duplicates included.
 * Reports are sent without waiting for an answer: the command waits for motor-sim only
 * if reports pile up faster than it reads them. */
#include "adapter.h"

#include "../protocol.h"

#include <asm/termbits.h>
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

void tap_configure(struct adapter_state *state)
{
    struct tap_state *tap = &state->tap;
    void *symbol = dlsym(RTLD_NEXT, "tcsetattr");
    memcpy(&tap->tcsetattr, &symbol, sizeof tap->tcsetattr);
    tap->fd = -1;
    const char *device = getenv(MOTOR_SIM_ENV_TAP);
    if (device == NULL || device[0] != '/' || strlen(device) >= sizeof tap->device)
        return;
    int fd = adapter_channel(getenv(MOTOR_SIM_ENV_TAP_FD));
    if (fd < 0)
        return;
    memcpy(tap->device, device, strlen(device) + 1);
    /* Under a motor-sim simulating this very path, the device is its pseudo-terminal. */
    const char *simulated = getenv(MOTOR_SIM_ENV_DEVICE);
    const char *pty = getenv(MOTOR_SIM_ENV_PTY);
    if (simulated != NULL && pty != NULL && strcmp(simulated, device) == 0)
        device = pty;
    struct stat info;
    if (stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
        tap->rdev = info.st_rdev;
        tap->device_known = true;
    }
    tap->fd = fd;
    tap->active = true;
}

bool tap_watches(struct adapter_state *state, int fd)
{
    if (!state->tap.active || fd < 0)
        return false;
    struct stat info;
    return state->tap.device_known && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
           info.st_rdev == state->tap.rdev;
}

long long tap_now(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void report(struct adapter_state *state, const char *message, size_t length)
{
    ssize_t sent;
    do
        sent = send(state->tap.fd, message, length, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    /* Blocking: when motor-sim falls behind, the command waits rather than lose bytes. */
}

void tap_data(struct adapter_state *state, const char *kind, long long ns, const void *bytes,
              size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    int saved_errno = errno;
    const unsigned char *next = bytes;
    while (count > 0) {
        size_t take = count < MOTOR_SIM_TAP_CHUNK ? count : MOTOR_SIM_TAP_CHUNK;
        char hex[2 * MOTOR_SIM_TAP_CHUNK + 1];
        char *digit = hex;
        for (const unsigned char *byte = next; byte != next + take; ++byte) {
            *digit++ = digits[*byte >> 4];
            *digit++ = digits[*byte & 0x0F];
        }
        *digit = '\0';
        char message[MOTOR_SIM_EVENT_MAX + 1];
        int length = snprintf(message, sizeof message, "%s %lld %s", kind, ns, hex);
        if (length > 0 && (size_t)length < sizeof message)
            report(state, message, (size_t)length);
        next += take;
        count -= take;
    }
    errno = saved_errno;
}

/* The settings the device has now, as the driver reports them (a driver that clamps
 * the rate shows the clamped rate). */
static void report_line(struct adapter_state *state, int fd)
{
    struct termios2 settings;
    if (state->real.ioctl(fd, TCGETS2, &settings) != 0)
        return;
    char message[MOTOR_SIM_EVENT_MAX + 1];
    int length = snprintf(message, sizeof message, "tap-line %lld %u %x %x %x %x", tap_now(),
                          settings.c_ospeed, settings.c_cflag, settings.c_iflag, settings.c_oflag,
                          settings.c_lflag);
    if (length > 0 && (size_t)length < sizeof message)
        report(state, message, (size_t)length);
}

void tap_after_ioctl(struct adapter_state *state, int fd, unsigned long request,
                     const void *argument, int result, int error)
{
    if (!state->tap.active || !tap_watches(state, fd))
        return;
    switch (request) {
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
        if (result == 0)
            report_line(state, fd);
        break;
    case TIOCSSERIAL: {
        if (argument == NULL)
            break;
        const struct serial_struct *info = argument;
        char message[MOTOR_SIM_EVENT_MAX + 1];
        const char *name = result == 0 ? "ok" : strerrorname_np(error);
        int length = snprintf(message, sizeof message, "tap-serial %lld low-latency=%s %s",
                              tap_now(), (info->flags & ASYNC_LOW_LATENCY) != 0 ? "yes" : "no",
                              name != NULL ? name : "failed");
        if (length > 0 && (size_t)length < sizeof message)
            report(state, message, (size_t)length);
        break;
    }
    default:
        break;
    }
    errno = error;
}

/* libserialport sets the line with tcsetattr, which reaches the kernel without going
 * through ioctl(). */
ADAPTER_EXPORT int tcsetattr(int fd, int actions, const struct termios *settings)
{
    struct adapter_state *state = adapter();
    int result = state->tap.tcsetattr(fd, actions, settings);
    if (result == 0 && tap_watches(state, fd)) {
        int saved_errno = errno;
        report_line(state, fd);
        errno = saved_errno;
    }
    return result;
}
