/* The tap: with MOTOR_SIM_TAP naming a device, every byte written to it or read from
 * it is reported to motor-sim with the moment it happened, and so are the bytes an
 * input flush discards, failed calls with their error, end of file, the low-latency
 * request and the line settings as they stand when the device is closed (or the
 * command exits). Nothing is faked or changed: each call goes to libc (or to the
 * simulation, when a motor-sim runs under the tap) and its result and errno are
 * returned as they were.
 *
 * The tapped descriptors are those opened (or duplicated with dup, dup2, dup3) on the
 * named device's node (looked up once, when the layer starts; symbolic links such as
 * /dev/serial/by-id/... lead to the same node; for a simulated device, its
 * pseudo-terminal's). Each open is checked once, so a call on any other descriptor
 * costs a table look-up and no system call. Reports are sent without waiting for an
 * answer: the command waits for motor-sim only if reports pile up faster than it reads
 * them. */
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

#define BIND_NEXT(field, name)                                                      \
    do {                                                                            \
        void *symbol = dlsym(RTLD_NEXT, name);                                      \
        if (symbol == NULL)                                                         \
            adapter_stop("libc has no %s, which the tap passes calls on to", name); \
        memcpy(&tap->field, &symbol, sizeof tap->field);                            \
    } while (0)

void tap_configure(struct adapter_state *state)
{
    struct tap_state *tap = &state->tap;
    BIND_NEXT(tcsetattr, "tcsetattr");
    BIND_NEXT(tcflush, "tcflush");
    BIND_NEXT(dup, "dup");
    BIND_NEXT(dup2, "dup2");
    BIND_NEXT(dup3, "dup3");
    tap->fd = -1;
    tap->last_fd = -1;
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
    if (state->real.stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
        tap->rdev = info.st_rdev;
        tap->device_known = true;
    }
    tap->fd = fd;
    tap->active = true;
}

bool tap_watches(struct adapter_state *state, int fd)
{
    return state->tap.active && fd >= 0 && fd < TAP_MAX_FD && atomic_load(&state->tap.watched[fd]);
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

static void reportf(struct adapter_state *state, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static void reportf(struct adapter_state *state, const char *format, ...)
{
    char message[MOTOR_SIM_EVENT_MAX + 1];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length > 0 && (size_t)length < sizeof message)
        report(state, message, (size_t)length);
}

/* The settings the device has now, as the driver reports them (a driver that clamps
 * the rate and says so shows the clamped rate). */
static void report_line(struct adapter_state *state, int fd)
{
    struct termios2 settings;
    if (state->real.ioctl(fd, TCGETS2, &settings) != 0)
        return;
    reportf(state, "tap-line %lld %u %x %x %x %x", tap_now(), settings.c_ospeed, settings.c_cflag,
            settings.c_iflag, settings.c_oflag, settings.c_lflag);
}

/* A descriptor the command now holds: tapped if it is on the device's node. Checked
 * once here rather than on every call. */
int tap_opened(struct adapter_state *state, int fd)
{
    struct tap_state *tap = &state->tap;
    if (!tap->active || fd < 0 || fd >= TAP_MAX_FD)
        return fd;
    int saved_errno = errno;
    struct stat info;
    bool on_device = tap->device_known && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
                     info.st_rdev == tap->rdev;
    atomic_store(&tap->watched[fd], on_device);
    if (on_device) {
        tap->last_fd = fd;
        if (!atomic_exchange(&tap->opened, true))
            reportf(state, "tap-open %lld", tap_now());
    }
    errno = saved_errno;
    return fd;
}

void tap_closing(struct adapter_state *state, int fd)
{
    if (!tap_watches(state, fd))
        return;
    int saved_errno = errno;
    /* The settings the run leaves, read while the descriptor is still open. */
    report_line(state, fd);
    reportf(state, "tap-close %lld", tap_now());
    atomic_store(&state->tap.watched[fd], false);
    errno = saved_errno;
}

/* A failed call on the device, with its error. The same failure repeated (libserialport
 * reads a hung-up line until its deadline) is reported once until a call succeeds. */
void tap_failed(struct adapter_state *state, const char *call, int error)
{
    struct tap_state *tap = &state->tap;
    const char *name = strerrorname_np(error);
    if (name == NULL)
        name = "failed";
    int key = error * 64 + (int)(call[0] & 63);
    if (atomic_exchange(&tap->last_failure, key) == key)
        return;
    reportf(state, "tap-fail %lld %s %s", tap_now(), call, name);
    errno = error;
}

void tap_end_of_file(struct adapter_state *state)
{
    int saved_errno = errno;
    if (atomic_exchange(&state->tap.last_failure, -1) != -1)
        reportf(state, "tap-eof %lld", tap_now());
    errno = saved_errno;
}

void tap_data(struct adapter_state *state, const char *kind, long long ns, const void *bytes,
              size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    int saved_errno = errno;
    atomic_store(&state->tap.last_failure, 0);
    const unsigned char *next = bytes;
    do {
        size_t take = count < MOTOR_SIM_TAP_CHUNK ? count : MOTOR_SIM_TAP_CHUNK;
        char hex[2 * MOTOR_SIM_TAP_CHUNK + 1] = "-";
        char *digit = hex;
        for (const unsigned char *byte = next; byte != next + take; ++byte) {
            *digit++ = digits[*byte >> 4];
            *digit++ = digits[*byte & 0x0F];
        }
        if (digit != hex) /* an empty chunk stays "-" */
            *digit = '\0';
        reportf(state, "%s %lld %s", kind, ns, hex);
        next += take;
        count -= take;
    } while (count > 0);
    errno = saved_errno;
}

/* What an input flush is about to discard: read, and so taken off the line, just before
 * the flush, which would have dropped it anyway. The command sees the same flush. */
static void report_flush(struct adapter_state *state, int fd, int queue)
{
    if (queue != TCIFLUSH && queue != TCIOFLUSH)
        return;
    int saved_errno = errno;
    long long ns = tap_now();
    unsigned char pending[4096];
    size_t got = 0;
    int waiting = 0;
    if (state->real.ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
        size_t want = (size_t)waiting < sizeof pending ? (size_t)waiting : sizeof pending;
        ssize_t taken = state->real.read(fd, pending, want);
        got = taken > 0 ? (size_t)taken : 0;
    }
    tap_data(state, "tap-flush", ns, pending, got);
    errno = saved_errno;
}

void tap_before_ioctl(struct adapter_state *state, int fd, unsigned long request,
                      const void *argument)
{
    if (request == TCFLSH && tap_watches(state, fd))
        report_flush(state, fd, (int)(long)argument);
}

void tap_after_ioctl(struct adapter_state *state, int fd, unsigned long request,
                     const void *argument, int result, int error)
{
    if (!tap_watches(state, fd))
        return;
    switch (request) {
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
        if (result != 0)
            tap_failed(state, "settings", error);
        break;
    case TCFLSH:
        if (result != 0)
            tap_failed(state, "flush", error);
        break;
    case TCSBRK: /* a non-zero argument is a drain; zero sends a break */
        if (result != 0 && argument != NULL)
            tap_failed(state, "drain", error);
        break;
    case TIOCSSERIAL: {
        if (argument == NULL)
            break;
        const struct serial_struct *info = argument;
        const char *name = result == 0 ? "ok" : strerrorname_np(error);
        reportf(state, "tap-serial %lld low-latency=%s %s", tap_now(),
                (info->flags & ASYNC_LOW_LATENCY) != 0 ? "yes" : "no",
                name != NULL ? name : "failed");
        break;
    }
    default:
        break;
    }
    errno = error;
}

/* libserialport sets the line with tcsetattr and flushes with tcflush, both of which
 * reach the kernel without going through ioctl(). */
ADAPTER_EXPORT int tcsetattr(int fd, int actions, const struct termios *settings)
{
    struct adapter_state *state = adapter();
    int result = state->tap.tcsetattr(fd, actions, settings);
    if (result != 0 && tap_watches(state, fd))
        tap_failed(state, "settings", errno);
    return result;
}

ADAPTER_EXPORT int tcflush(int fd, int queue)
{
    struct adapter_state *state = adapter();
    bool tapped = tap_watches(state, fd);
    replay_flush(state, fd, queue);
    if (tapped)
        report_flush(state, fd, queue);
    int result = state->tap.tcflush(fd, queue);
    if (result != 0 && tapped)
        tap_failed(state, "flush", errno);
    return result;
}

/* Duplicates of the device's descriptor are the device too. */
ADAPTER_EXPORT int dup(int fd)
{
    struct adapter_state *state = adapter();
    int copy = state->tap.dup(fd);
    return copy >= 0 && tap_watches(state, fd) ? tap_opened(state, copy) : copy;
}

ADAPTER_EXPORT int dup2(int fd, int target)
{
    struct adapter_state *state = adapter();
    if (fd != target)
        tap_closing(state, target);
    int copy = state->tap.dup2(fd, target);
    return copy >= 0 ? tap_opened(state, copy) : copy;
}

ADAPTER_EXPORT int dup3(int fd, int target, int flags)
{
    struct adapter_state *state = adapter();
    if (fd != target)
        tap_closing(state, target);
    int copy = state->tap.dup3(fd, target, flags);
    return copy >= 0 ? tap_opened(state, copy) : copy;
}

/* A command that exits with the device still open: the settings it leaves. */
__attribute__((destructor)) static void tap_at_exit(void)
{
    struct adapter_state *state = adapter();
    int fd = state->tap.last_fd;
    if (tap_watches(state, fd))
        report_line(state, fd);
}
