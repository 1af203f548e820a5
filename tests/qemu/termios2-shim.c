/*
 * Test-only LD_PRELOAD shim for the suite under qemu-user (cross builds; never installed).
 * qemu 7.2 (Debian 12's qemu-user-static) answers the termios2 requests TCGETS2, TCSETS2, TCSETSW2
 * and TCSETSF2 with ENOSYS, and libserialport's open and baud-rate setting use them. When, and
 * only when, one fails so, the shim makes the classic request instead: TCGETS with the speeds
 * taken from the baud bits, or TCSETS/W/F with an explicit speed (BOTHER) replaced by the nearest
 * rate qemu carries (B0 to B460800; it turns every higher one into B0). renumber holds the rate it
 * reads back to the bus's, as a native kernel reports the explicit speed it was given, so the shim
 * remembers the last explicit speed it carried in place and the bits that stand for it, and a
 * bridged TCGETS2 reports that speed while those bits are in force (one port per process is all
 * the suite opens). ioctl and, on 32-bit systems, its 64-bit-time twin __ioctl_time64 are bridged.
 * Built once per architecture under <dir>/$LIB/ so that one LD_PRELOAD entry fits the host
 * programs and the emulated ones alike.
 */
#define _GNU_SOURCE
/* The base interface, whatever the build's flags: the shim defines ioctl and __ioctl_time64 side
 * by side, which _TIME_BITS=64 would make one name. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <asm/termbits.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>

struct rate {
    tcflag_t bits;
    speed_t speed;
};

/* The baud bits qemu 7.2 translates, in increasing speed. */
static const struct rate carried[] = {
    {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
};
#define CARRIED_COUNT (sizeof carried / sizeof carried[0])

/* The explicit speed last carried in place, and the bits standing for it (none: BOTHER, which
 * a classic request never reads back). */
static speed_t asked_speed;
static tcflag_t standing_bits = BOTHER;

/* Rewrites baud bits that stand for a remembered explicit speed back to BOTHER. */
static bool restore_asked(struct termios2* settings)
{
    if (standing_bits == BOTHER || (settings->c_cflag & CBAUD) != standing_bits)
        return false;
    settings->c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    settings->c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    return true;
}

/* libc's ioctl, or its 64-bit-time twin: whichever the caller called. */
typedef int (*ioctl_call)(int, unsigned long, ...);

static ioctl_call next_call(const char* name)
{
    ioctl_call call = NULL;
    void* symbol = dlsym(RTLD_NEXT, name);
    memcpy(&call, &symbol, sizeof call);
    return call;
}

static speed_t speed_of(tcflag_t bits)
{
    for (size_t i = 0; i < CARRIED_COUNT; ++i)
        if (carried[i].bits == bits)
            return carried[i].speed;
    return 0;
}

static speed_t distance(speed_t a, speed_t b)
{
    return a > b ? a - b : b - a;
}

static tcflag_t bits_near(speed_t speed)
{
    size_t best = 0;
    for (size_t i = 1; i < CARRIED_COUNT; ++i)
        if (distance(speed, carried[i].speed) < distance(speed, carried[best].speed))
            best = i;
    return carried[best].bits;
}

/* A classic baud field: an explicit speed becomes the nearest carried rate. */
static tcflag_t classic_bits(tcflag_t bits, speed_t speed)
{
    return bits == BOTHER ? bits_near(speed) : bits;
}

static int get_classic(ioctl_call next, int fd, struct termios2* settings)
{
    struct termios classic;
    if (next(fd, TCGETS, &classic) != 0)
        return -1;
    memset(settings, 0, sizeof *settings);
    memcpy(settings, &classic, sizeof classic);
    settings->c_ospeed = speed_of(classic.c_cflag & CBAUD);
    tcflag_t in_bits = (classic.c_cflag >> IBSHIFT) & CBAUD;
    settings->c_ispeed = in_bits == B0 ? settings->c_ospeed : speed_of(in_bits);
    if (restore_asked(settings)) {
        settings->c_ospeed = asked_speed;
        settings->c_ispeed = asked_speed;
    }
    return 0;
}

static int set_classic(ioctl_call next, int fd, unsigned long request,
                       const struct termios2* settings)
{
    struct termios classic;
    memcpy(&classic, settings, sizeof classic);
    tcflag_t out_bits = classic_bits(settings->c_cflag & CBAUD, settings->c_ospeed);
    if ((settings->c_cflag & CBAUD) == BOTHER) {
        asked_speed = settings->c_ospeed;
        standing_bits = out_bits;
    }
    tcflag_t in_bits = classic_bits((settings->c_cflag >> IBSHIFT) & CBAUD, settings->c_ispeed);
    classic.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    classic.c_cflag |= out_bits | (in_bits << IBSHIFT);
    return next(fd, request, &classic);
}

static int bridge(ioctl_call next, int fd, unsigned long request, void* argument)
{
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int result = next(fd, request, argument);
    if (result != -1 || errno != ENOSYS)
        return result;
    switch (request) {
    case TCGETS2:
        return get_classic(next, fd, argument);
    case TCSETS2:
        return set_classic(next, fd, TCSETS, argument);
    case TCSETSW2:
        return set_classic(next, fd, TCSETSW, argument);
    case TCSETSF2:
        return set_classic(next, fd, TCSETSF, argument);
    default:
        return result;
    }
}

/* libc's entry point name, or its 64-bit-time twin, taking the request's one argument on. */
#define BRIDGED(name)                                                                   \
    __attribute__((visibility("default"))) int name(int fd, unsigned long request, ...) \
    {                                                                                   \
        va_list args;                                                                   \
        va_start(args, request);                                                        \
        void* argument = va_arg(args, void*);                                           \
        va_end(args);                                                                   \
        return bridge(next_call(#name), fd, request, argument);                         \
    }

BRIDGED(ioctl)
#if __TIMESIZE == 32
/* What programs built with _TIME_BITS=64 call on 32-bit systems. */
int __ioctl_time64(int fd, unsigned long request, ...);
BRIDGED(__ioctl_time64)
#endif
