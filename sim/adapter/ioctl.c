/* Driver requests a pseudo-terminal refuses but a USB serial adapter answers: modem
 * lines and the serial_struct (low latency). Also the adapter faults on serial info,
 * low latency, the 4,000,000 baud rate and the drain. */
#include "adapter.h"

#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define REFUSED_RATE 4000000u

/* libc's ioctl, or its 64-bit-time twin: the one the caller meant. */
typedef int (*ioctl_call)(int, unsigned long, ...);

/* A hung-up or closed descriptor fails every request; the faked answers must too. */
static bool alive(ioctl_call next, int fd)
{
    struct termios2 settings;
    return next(fd, TCGETS2, &settings) == 0;
}

static int fail(int error)
{
    errno = error;
    return -1;
}

/* The rate a termios2 record asks for in one direction (baud bits, or BOTHER and
 * the explicit speed). */
static bool asks_refused_rate(tcflag_t baud_bits, speed_t speed)
{
    return baud_bits == BOTHER ? speed == REFUSED_RATE : baud_bits == B4000000;
}

static bool asks_bus_rate(const struct termios2 *settings)
{
    tcflag_t out_bits = settings->c_cflag & CBAUD;
    tcflag_t in_bits = (settings->c_cflag >> IBSHIFT) & CBAUD;
    if (asks_refused_rate(out_bits, settings->c_ospeed))
        return true;
    /* B0 as input rate means "same as output". */
    return in_bits != B0 && asks_refused_rate(in_bits, settings->c_ispeed);
}

/* A driver that cannot run the rate sets another and reports it in the settings. */
static int set_substituted(struct adapter_state *state, ioctl_call next, int fd,
                           unsigned long request, const struct termios2 *asked)
{
    struct termios2 substituted = *asked;
    substituted.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    substituted.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    const uint32_t rate = state->config.faults.substitute_rate;
    substituted.c_ospeed = rate;
    substituted.c_ispeed = rate;
    adapter_event(state, (struct sim_message){.kind = SIM_BAUD_SUBSTITUTED,
                                              .asked_rate = REFUSED_RATE,
                                              .rate = rate});
    return next(fd, request, &substituted);
}

/* A transmitter that never empties: the wait ends only when a signal interrupts it. */
static int stalled_drain(struct adapter_state *state)
{
    adapter_event(state, (struct sim_message){.kind = SIM_DRAIN_STALLED});
    pause();
    return fail(EINTR);
}

static int modem_request(struct adapter_state *state, unsigned long request, int *lines)
{
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    /* Inputs as an adapter with its handshake lines tied active. */
    const int inputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    switch (request) {
    case TIOCMGET:
        *lines = (atomic_load(&state->modem_lines) & outputs) | inputs;
        break;
    case TIOCMSET:
        atomic_store(&state->modem_lines, *lines & outputs);
        break;
    case TIOCMBIS:
        atomic_fetch_or(&state->modem_lines, *lines & outputs);
        break;
    default:
        atomic_fetch_and(&state->modem_lines, ~(*lines & outputs));
        break;
    }
    return 0;
}

static int get_serial(struct adapter_state *state, struct serial_struct *info)
{
    if (state->config.faults.no_serial_info) {
        adapter_event(state, (struct sim_message){.kind = SIM_SERIAL_GET_REFUSED});
        return fail(ENOTTY);
    }
    memset(info, 0, sizeof *info);
    info->flags = atomic_load(&state->serial_flags);
    return 0;
}

static int set_serial(struct adapter_state *state, const struct serial_struct *info)
{
    bool low_latency = (info->flags & ASYNC_LOW_LATENCY) != 0;
    const int error = state->config.faults.refuse_low_latency ? EPERM : 0;
    adapter_event(state, (struct sim_message){
                             .kind = SIM_SERIAL_SET, .error = error, .low_latency = low_latency});
    if (error != 0)
        return fail(error);
    atomic_store(&state->serial_flags, info->flags);
    return 0;
}

static int device_ioctl(struct adapter_state *state, ioctl_call next, int fd, unsigned long request,
                        void *argument)
{
    if (!adapter_owns(state, fd))
        return next(fd, request, argument);
    const struct sim_faults *faults = &state->config.faults;
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return alive(next, fd) ? modem_request(state, request, argument) : -1;
    case TIOCGSERIAL:
        return alive(next, fd) ? get_serial(state, argument) : -1;
    case TIOCSSERIAL:
        return alive(next, fd) ? set_serial(state, argument) : -1;
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2:
        if (faults->refuse_baud && asks_bus_rate(argument)) {
            adapter_event(
                state, (struct sim_message){.kind = SIM_BAUD_REFUSED, .asked_rate = REFUSED_RATE});
            return fail(EINVAL);
        }
        if (faults->substitute_rate != 0 && asks_bus_rate(argument))
            return set_substituted(state, next, fd, request, argument);
        if (faults->silent_rate != 0 && asks_bus_rate(argument))
            adapter_event(state, (struct sim_message){.kind = SIM_BAUD_SILENT,
                                                      .asked_rate = REFUSED_RATE,
                                                      .rate = faults->silent_rate});
        return next(fd, request, argument);
    case TCSBRK:
        /* A non-zero argument is tcdrain's wait; zero sends a break. */
        if ((uintptr_t)argument != 0)
            adapter_event(state, (struct sim_message){.kind = SIM_DRAIN});
        if (faults->stall_drain && (uintptr_t)argument != 0 && alive(next, fd))
            return stalled_drain(state);
        return next(fd, request, argument);
    default:
        return next(fd, request, argument);
    }
}

/* A replay's input flushes made through ioctl, as libc's tcflush makes them (the layer's own
 * tcflush is in tap.c). */
static void replay_before_ioctl(struct adapter_state *state, int fd, unsigned long request,
                                const void *argument)
{
    if (request == TCFLSH)
        replay_flush(state, fd, (int)(uintptr_t)argument);
}

ADAPTER_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    struct adapter_state *state = adapter();
    tap_before_ioctl(state, fd, request, argument);
    replay_before_ioctl(state, fd, request, argument);
    int result = device_ioctl(state, state->real.ioctl, fd, request, argument);
    tap_after_ioctl(state, fd, request, argument, result, errno);
    return result;
}

/* glibc's tcdrain makes its TCSBRK system call directly, past ioctl. */
int tcdrain(int fd);
ADAPTER_EXPORT int tcdrain(int fd)
{
    struct adapter_state *state = adapter();
    int result;
    if (adapter_owns(state, fd))
        adapter_event(state, (struct sim_message){.kind = SIM_DRAIN});
    int replayed = state->config.replay && adapter_owns(state, fd)
                       ? adapter_ask(state, (struct sim_message){.kind = SIM_ASK,
                                                                 .ns = tap_now(),
                                                                 .call = SIM_CALL_DRAIN})
                       : 0;
    /* A drain recorded as interrupted waited until a signal came: it waits so again. */
    bool stalls = replayed == EINTR || (replayed == 0 && state->config.faults.stall_drain &&
                                        adapter_owns(state, fd) && alive(state->real.ioctl, fd));
    if (stalls)
        result = stalled_drain(state);
    else if (replayed != 0)
        result = fail(replayed);
    else
        result = state->real.tcdrain(fd);
    if (result != 0 && tap_watches(state, fd))
        tap_failed(state, SIM_CALL_DRAIN, errno);
    return result;
}

#if __TIMESIZE == 32
/* 32-bit systems built for 64-bit time (Debian's armhf from 13 on) call this instead. It
 * differs from ioctl only in requests that carry a time, none of which is answered here. */
ADAPTER_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    struct adapter_state *state = adapter();
    if (state->real.ioctl_time64 == NULL)
        return fail(ENOSYS);
    tap_before_ioctl(state, fd, request, argument);
    replay_before_ioctl(state, fd, request, argument);
    int result = device_ioctl(state, state->real.ioctl_time64, fd, request, argument);
    tap_after_ioctl(state, fd, request, argument, result, errno);
    return result;
}
#endif
