/* The simulated device's node and sysfs. libserialport finds a port by lstat and readlink of its
 * entry
 * (/sys/class/tty/<name>), and renumber asks the tree behind it which driver serves the port;
 * a pseudo-terminal standing in for /dev/ttyUSB0 has neither. motor-sim lays out in a folder of
 * its own what the kernel would show under /sys for the device (the tty's class link, the USB
 * or platform device behind it, the bound driver), and the layer answers the paths under /sys
 * that the folder has from there, every other path from the real /sys. */
#include "adapter.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Declared by older glibc headers only; libserialport 0.1.1 still imports them. */
int __lxstat(int version, const char *path, struct stat *buf);
int __lxstat64(int version, const char *path, struct stat64 *buf);

bool adapter_node(const char *path, const char **pty, unsigned long long *rdev)
{
    struct adapter_state *state = adapter();
    if (path == NULL || strcmp(path, state->node) != 0 || !adapter_device_present(state))
        return false;
    *pty = state->config.pty;
    *rdev = (unsigned long long)state->node_rdev;
    return true;
}

bool adapter_sysfs_path(const char *path, char *out, size_t size)
{
    struct adapter_state *state = adapter();
    /* The folder loses the tty's class link when the bus hangs up, as sysfs does on an unplug. */
    if (path == NULL || strncmp(path, "/sys/", 5) != 0 || state->config.sysfs[0] == '\0')
        return false;
    int length = snprintf(out, size, "%s%s", state->config.sysfs, path);
    struct stat info;
    return length > 0 && (size_t)length < size && state->real.lstat(out, &info) == 0;
}

/* path, or where motor-sim's sysfs folder has it. */
static const char *seen(const char *path, char overlay[PATH_MAX])
{
    return adapter_sysfs_path(path, overlay, PATH_MAX) ? overlay : path;
}

static int missing(void)
{
    errno = ENOSYS;
    return -1;
}

int adapter_real_lstat64_time64(const char *path, void *buf)
{
    struct adapter_state *state = adapter();
    return state->real.lstat64_time64 != NULL ? state->real.lstat64_time64(path, buf) : missing();
}

int adapter_real_stat64_time64(const char *path, void *buf)
{
    struct adapter_state *state = adapter();
    return state->real.stat64_time64 != NULL ? state->real.stat64_time64(path, buf) : missing();
}

/* The simulated device's node is the pseudo-terminal with an adapter's device number, so that a
 * program that looks at /dev (which driver, who holds it) finds a serial port there. */
#define ANSWER_NODE(call, buf)                 \
    do {                                       \
        const char *pty = NULL;                \
        unsigned long long rdev = 0;           \
        if (adapter_node(path, &pty, &rdev)) { \
            int result = (call);               \
            if (result == 0)                   \
                (buf)->st_rdev = (dev_t)rdev;  \
            return result;                     \
        }                                      \
    } while (0)

ADAPTER_EXPORT int __lxstat(int version, const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.lxstat(version, pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.lxstat(version, seen(path, overlay), buf);
}

ADAPTER_EXPORT int __lxstat64(int version, const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.lxstat64(version, pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.lxstat64(version, seen(path, overlay), buf);
}

ADAPTER_EXPORT int lstat(const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.stat(pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.lstat(seen(path, overlay), buf);
}

ADAPTER_EXPORT int lstat64(const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.stat64(pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.lstat64(seen(path, overlay), buf);
}

ADAPTER_EXPORT int stat(const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.stat(pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.stat(seen(path, overlay), buf);
}

ADAPTER_EXPORT int stat64(const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    ANSWER_NODE(state->real.stat64(pty, buf), buf);
    char overlay[PATH_MAX];
    return state->real.stat64(seen(path, overlay), buf);
}

/* /proc/<pid>/fd/<n> of a process holding the simulated device reads as the device, as it would
 * for an adapter: the pseudo-terminal is an artefact of the simulation. motor-sim's own
 * descriptor on it, which keeps the line up, is left as it is. */
static ssize_t as_device(struct adapter_state *state, const char *path, char *buf, size_t size,
                         ssize_t length)
{
    const char *pty = state->config.pty;
    size_t pty_length = strlen(pty);
    if (length <= 0 || (size_t)length != pty_length || memcmp(buf, pty, pty_length) != 0 ||
        strncmp(path, "/proc/", 6) != 0 || strstr(path, "/fd/") == NULL ||
        !adapter_device_present(state))
        return length;
    char *end = NULL;
    long pid = strtol(path + 6, &end, 10);
    if (end != path + 6 && pid == (long)state->simulator_pid)
        return length;
    size_t node_length = strlen(state->node);
    if (node_length > size)
        node_length = size;
    memcpy(buf, state->node, node_length);
    return (ssize_t)node_length;
}

ADAPTER_EXPORT ssize_t readlink(const char *path, char *buf, size_t size)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    ssize_t length = state->real.readlink(seen(path, overlay), buf, size);
    return state->active ? as_device(state, path, buf, size, length) : length;
}
