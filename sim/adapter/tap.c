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

#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

void tap_configure(struct adapter_state *state)
{
    struct tap_state *tap = &state->tap;
    tap->fd = -1;
    tap->last_fd = -1;
    const char *text = getenv(MOTOR_SIM_ENV_TAP);
    if (text == NULL || text[0] == '\0')
        return;
    struct sim_tap config;
    char error[MOTOR_SIM_STOP_MAX];
    if (!sim_tap_decode(text, &config, error, sizeof error))
        adapter_stop("%s: %s", MOTOR_SIM_ENV_TAP, error);
    tap->fd = adapter_channel(config.reports);
    if (tap->fd < 0)
        return;
    /* Under a motor-sim simulating this very path, the device is its pseudo-terminal. */
    const char *device = config.device;
    if (state->active && strcmp(state->config.device, device) == 0)
        device = state->config.pty;
    struct stat info;
    if (state->real.stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
        tap->rdev = info.st_rdev;
        tap->device_known = true;
    }
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

static void report(struct adapter_state *state, struct sim_message message)
{
    unsigned char datagram[SIM_MESSAGE_MAX];
    size_t length = sim_message_encode(&message, datagram);
    ssize_t sent;
    do
        sent = send(state->tap.fd, datagram, length, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    /* Blocking: when motor-sim falls behind, the command waits rather than lose bytes. */
}

/* The settings the device has now, as the driver reports them (a driver that clamps
 * the rate and says so shows the clamped rate). */
static void report_line(struct adapter_state *state, int fd)
{
    struct termios2 settings;
    if (state->real.ioctl(fd, TCGETS2, &settings) != 0)
        return;
    report(state,
           (struct sim_message){.kind = SIM_TAP_LINE,
                                .ns = tap_now(),
                                .line = {settings.c_ospeed, settings.c_cflag, settings.c_iflag,
                                         settings.c_oflag, settings.c_lflag}});
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
            report(state, (struct sim_message){.kind = SIM_TAP_OPEN, .ns = tap_now()});
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
    report(state, (struct sim_message){.kind = SIM_TAP_CLOSE, .ns = tap_now()});
    atomic_store(&state->tap.watched[fd], false);
    errno = saved_errno;
}

/* A failed call on the device, with its error. The same failure repeated (libserialport
 * reads a hung-up line until its deadline) is reported once until a call succeeds. */
void tap_failed(struct adapter_state *state, enum sim_call call, int error)
{
    int key = error * 64 + (int)call;
    if (atomic_exchange(&state->tap.last_failure, key) == key)
        return;
    report(state, (struct sim_message){
                      .kind = SIM_TAP_FAIL, .ns = tap_now(), .error = error, .call = call});
    errno = error;
}

void tap_end_of_file(struct adapter_state *state)
{
    int saved_errno = errno;
    if (atomic_exchange(&state->tap.last_failure, -1) != -1)
        report(state, (struct sim_message){.kind = SIM_TAP_EOF, .ns = tap_now()});
    errno = saved_errno;
}

void tap_data(struct adapter_state *state, enum sim_kind kind, long long ns, const void *bytes,
              size_t count)
{
    int saved_errno = errno;
    atomic_store(&state->tap.last_failure, 0);
    const unsigned char *next = bytes;
    do {
        size_t take = count < SIM_TAP_CHUNK ? count : SIM_TAP_CHUNK;
        report(state,
               (struct sim_message){.kind = kind, .ns = ns, .data = next, .data_size = take});
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
    tap_data(state, SIM_TAP_FLUSH, ns, pending, got);
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
            tap_failed(state, SIM_CALL_SETTINGS, error);
        break;
    case TCFLSH:
        if (result != 0)
            tap_failed(state, SIM_CALL_FLUSH, error);
        break;
    case TCSBRK: /* a non-zero argument is a drain; zero sends a break */
        if (result != 0 && argument != NULL)
            tap_failed(state, SIM_CALL_DRAIN, error);
        break;
    case TIOCSSERIAL: {
        if (argument == NULL)
            break;
        const struct serial_struct *info = argument;
        report(state, (struct sim_message){.kind = SIM_TAP_SERIAL,
                                           .ns = tap_now(),
                                           .error = result == 0 ? 0 : error,
                                           .low_latency = (info->flags & ASYNC_LOW_LATENCY) != 0});
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
    int result = state->real.tcsetattr(fd, actions, settings);
    if (result != 0 && tap_watches(state, fd))
        tap_failed(state, SIM_CALL_SETTINGS, errno);
    return result;
}

ADAPTER_EXPORT int tcflush(int fd, int queue)
{
    struct adapter_state *state = adapter();
    bool tapped = tap_watches(state, fd);
    replay_flush(state, fd, queue);
    if (tapped)
        report_flush(state, fd, queue);
    int result = state->real.tcflush(fd, queue);
    if (result != 0 && tapped)
        tap_failed(state, SIM_CALL_FLUSH, errno);
    return result;
}

/* Duplicates of the device's descriptor are the device too. */
ADAPTER_EXPORT int dup(int fd)
{
    struct adapter_state *state = adapter();
    int copy = state->real.dup(fd);
    return copy >= 0 && tap_watches(state, fd) ? tap_opened(state, copy) : copy;
}

ADAPTER_EXPORT int dup2(int fd, int target)
{
    struct adapter_state *state = adapter();
    if (fd != target)
        tap_closing(state, target);
    int copy = state->real.dup2(fd, target);
    return copy >= 0 ? tap_opened(state, copy) : copy;
}

ADAPTER_EXPORT int dup3(int fd, int target, int flags)
{
    struct adapter_state *state = adapter();
    if (fd != target)
        tap_closing(state, target);
    int copy = state->real.dup3(fd, target, flags);
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
