/* A replay (motor-sim --replay): the command runs against a recording, never against the
 * machine's own serial devices, and motor-sim judges more of the run than the bytes.
 *
 * Opens: the simulated device is the only serial device the command may open. Any other
 * terminal device under /dev/ (a tty-class character device as sysfs says, or, for a path
 * that does not exist, one named tty... or under /dev/serial/) fails with ENOENT before libc
 * sees it, and is reported, so that the verdict names it; so does the simulated path once
 * the simulated adapter has gone, rather than reach a real node of that name. The command's
 * controlling terminal (/dev/tty) and pseudo-terminals (/dev/ptmx, /dev/pts/) are no serial
 * devices and stay open to it. Opens through stdio (fopen) or raw system calls are not seen.
 *
 * Input flushes on the device are reported: the verdict compares them with the recorded ones. */
#include "adapter.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <termios.h>

static bool tty_class(struct adapter_state *state, dev_t rdev)
{
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(rdev), minor(rdev));
    ssize_t length = state->real.readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    const char *last = strrchr(target, '/');
    return last != NULL && strcmp(last, "/tty") == 0;
}

/* A serial or console terminal under /dev/, by what sysfs says of the node or by its name. */
static bool serial_device(struct adapter_state *state, const char *node)
{
    if (strncmp(node, "/dev/", 5) != 0 || strcmp(node, "/dev/tty") == 0 ||
        strcmp(node, "/dev/ptmx") == 0 || strncmp(node, "/dev/pts/", 9) == 0)
        return false;
    const char *name = node + 5;
    bool named = strncmp(name, "tty", 3) == 0 || strncmp(name, "serial/", 7) == 0 ||
                 strcmp(name, "console") == 0;
    struct stat info;
    if (stat(node, &info) != 0)
        return named;
    return S_ISCHR(info.st_mode) && (named || tty_class(state, info.st_rdev));
}

bool replay_refuses_open(struct adapter_state *state, int dirfd, const char *path)
{
    if (!state->config.replay || path == NULL || (path[0] != '/' && dirfd != AT_FDCWD))
        return false;
    if (adapter_is_device(state, path)) {
        /* Present, it is the simulation's; gone, it is an unplugged adapter. */
        if (adapter_device_present(state))
            return false;
        errno = ENOENT;
        return true;
    }
    int saved_errno = errno;
    char resolved[PATH_MAX];
    const char *node = state->real.realpath(path, resolved) != NULL ? resolved : path;
    errno = saved_errno;
    if (!serial_device(state, node))
        return false;
    adapter_event(state, (struct sim_message){.kind = SIM_OPEN_FOREIGN,
                                              .data = (const unsigned char *)path,
                                              .data_size = strlen(path)});
    errno = ENOENT;
    return true;
}

void replay_flush(struct adapter_state *state, int fd, int queue)
{
    if (state->config.replay && (queue == TCIFLUSH || queue == TCIOFLUSH) &&
        adapter_owns(state, fd))
        adapter_event(state, (struct sim_message){.kind = SIM_FLUSH});
}
