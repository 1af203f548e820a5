/* Opening the simulated device opens the pseudo-terminal slave instead; the
 * descriptor is remembered so that ioctl and write know it. Files of the device's sysfs
 * open from motor-sim's folder (lookup.c). In a replay, other serial devices are refused
 * (replay.c). */
#include "adapter.h"

#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>

/* open's third argument exists only when the flags ask for a file mode. */
#define TAKES_MODE(flags) (((flags)&O_CREAT) != 0 || ((flags)&O_TMPFILE) == O_TMPFILE)

static mode_t mode_argument(int flags, va_list args)
{
    return TAKES_MODE(flags) ? (mode_t)va_arg(args, unsigned int) : 0;
}

/* path, or where motor-sim's sysfs folder has it (lookup.c). */
static const char *seen(const char *path, char overlay[PATH_MAX])
{
    return adapter_sysfs_path(path, overlay, PATH_MAX) ? overlay : path;
}

static bool names_device(struct adapter_state *state, int dirfd, const char *path)
{
    return path != NULL && (path[0] == '/' || dirfd == AT_FDCWD) &&
           adapter_is_device(state, path) && adapter_device_present(state);
}

/* Opens the slave in place of the device; the event is sent after the open so that
 * a hang-up motor-sim makes on it meets an already open descriptor. */
static int open_device(struct adapter_state *state, int flags, mode_t mode)
{
    const char *device = state->config.device;
    if (state->config.faults.refuse_open) {
        adapter_event(state, (struct sim_message){.kind = SIM_OPEN_REFUSED,
                                                  .data = (const unsigned char *)device,
                                                  .data_size = strlen(device)});
        errno = EACCES;
        return -1;
    }
    int fd = state->real.open(state->config.pty, flags | O_NOCTTY, mode);
    if (fd < 0)
        return fd;
    adapter_own(state, fd);
    /* The driver raises DTR and RTS when the port opens. */
    atomic_store(&state->modem_lines, TIOCM_DTR | TIOCM_RTS);
    adapter_event(state, (struct sim_message){.kind = SIM_OPEN,
                                              .data = (const unsigned char *)device,
                                              .data_size = strlen(device)});
    return fd;
}

/* Where an open goes, the same for every spelling of open: the simulated device opens the
 * slave, a serial device a replay refuses fails, and anything else goes on to libc with the
 * path motor-sim's sysfs folder may have for it. Returns the path to pass on, or NULL when the
 * open is done and *fd holds its result. */
static const char *route_open(struct adapter_state *state, int dirfd, const char *path, int flags,
                              mode_t mode, char overlay[PATH_MAX], int *fd)
{
    if (names_device(state, dirfd, path)) {
        *fd = tap_opened(state, open_device(state, flags, mode));
        return NULL;
    }
    if (replay_refuses_open(state, dirfd, path)) {
        *fd = -1;
        return NULL;
    }
    return seen(path, overlay);
}

ADAPTER_EXPORT int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, AT_FDCWD, path, flags, mode, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.open(passed, flags, mode));
}

ADAPTER_EXPORT int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, AT_FDCWD, path, flags, mode, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.open64(passed, flags, mode));
}

ADAPTER_EXPORT int __open_2(const char *path, int flags)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, AT_FDCWD, path, flags, 0, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.open_2(passed, flags));
}

ADAPTER_EXPORT int __open64_2(const char *path, int flags)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, AT_FDCWD, path, flags, 0, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.open64_2(passed, flags));
}

ADAPTER_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, dirfd, path, flags, mode, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.openat(dirfd, passed, flags, mode));
}

ADAPTER_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, dirfd, path, flags, mode, overlay, &fd);
    return passed == NULL ? fd
                          : tap_opened(state, state->real.openat64(dirfd, passed, flags, mode));
}

ADAPTER_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, dirfd, path, flags, 0, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.openat_2(dirfd, passed, flags));
}

ADAPTER_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    int fd = -1;
    const char *passed = route_open(state, dirfd, path, flags, 0, overlay, &fd);
    return passed == NULL ? fd : tap_opened(state, state->real.openat64_2(dirfd, passed, flags));
}

ADAPTER_EXPORT int close(int fd)
{
    struct adapter_state *state = adapter();
    tap_closing(state, fd);
    if (adapter_owns(state, fd)) {
        /* Read here, through the same calls the command set them with, rather than by motor-sim
         * from the other end: a preloaded termios2 bridge (the suite under qemu-user) holds the
         * rate the command asked for only in the command's own process. */
        struct termios2 settings = {0};
        int saved_errno = errno;
        int error = state->real.ioctl(fd, TCGETS2, &settings) == 0 ? 0 : errno;
        errno = saved_errno;
        adapter_forget(state, fd);
        adapter_event(state, (struct sim_message){.kind = SIM_CLOSE,
                                                  .error = error,
                                                  .line = {settings.c_ospeed, settings.c_cflag,
                                                           settings.c_iflag, settings.c_oflag,
                                                           settings.c_lflag}});
    }
    return state->real.close(fd);
}
