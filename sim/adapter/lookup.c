/* The simulated device's sysfs. libserialport finds a port by lstat and readlink of its entry
 * (/sys/class/tty/<name>), and renumber asks the tree behind it which driver serves the port;
 * a pseudo-terminal standing in for /dev/ttyUSB0 has neither. motor-sim lays out in a folder of
 * its own what the kernel would show under /sys for the device (the tty's class link, the USB
 * or platform device behind it, the bound driver), and the layer answers the paths under /sys
 * that the folder has from there, every other path from the real /sys. */
#include "adapter.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

/* Declared by older glibc headers only; libserialport 0.1.1 still imports them. */
int __lxstat(int version, const char *path, struct stat *buf);
int __lxstat64(int version, const char *path, struct stat64 *buf);

bool adapter_sysfs_path(const char *path, char *out, size_t size)
{
    struct adapter_state *state = adapter();
    if (path == NULL || strncmp(path, "/sys/", 5) != 0 || state->sysfs_root[0] == '\0' ||
        !adapter_device_present(state))
        return false;
    int length = snprintf(out, size, "%s%s", state->sysfs_root, path);
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

ADAPTER_EXPORT int __lxstat(int version, const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.lxstat(version, seen(path, overlay), buf);
}

ADAPTER_EXPORT int __lxstat64(int version, const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.lxstat64(version, seen(path, overlay), buf);
}

ADAPTER_EXPORT int lstat(const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.lstat(seen(path, overlay), buf);
}

ADAPTER_EXPORT int lstat64(const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.lstat64(seen(path, overlay), buf);
}

ADAPTER_EXPORT int stat(const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.stat(seen(path, overlay), buf);
}

ADAPTER_EXPORT int stat64(const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.stat64(seen(path, overlay), buf);
}

ADAPTER_EXPORT ssize_t readlink(const char *path, char *buf, size_t size)
{
    struct adapter_state *state = adapter();
    char overlay[PATH_MAX];
    return state->real.readlink(seen(path, overlay), buf, size);
}
