/* Port lookup: libserialport finds a port by lstat and readlink of its sysfs entry
 * (/sys/class/tty/<name>), which a pseudo-terminal standing in for /dev/ttyUSB0
 * does not have. The simulated device's entry is answered as sysfs shows a tty: a
 * symbolic link into the device tree. */
#include "adapter.h"

#include <errno.h>
#include <string.h>

/* Declared by older glibc headers only; libserialport 0.1.1 still imports it. */
int __lxstat(int version, const char *path, struct stat *buf);
int __lxstat64(int version, const char *path, struct stat64 *buf);

static bool is_sysfs_entry(const struct adapter_state *state, const char *path)
{
    return path != NULL && state->sysfs_entry[0] != '\0' && strcmp(path, state->sysfs_entry) == 0 &&
           adapter_device_present(state);
}

bool adapter_sysfs_link(const char *path, size_t *length)
{
    const struct adapter_state *state = adapter();
    if (!is_sysfs_entry(state, path))
        return false;
    *length = strlen(state->sysfs_target);
    return true;
}

static void describe_link(const struct adapter_state *state, struct stat *buf)
{
    memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFLNK | 0777;
    buf->st_nlink = 1;
    buf->st_size = (off_t)strlen(state->sysfs_target);
    buf->st_blksize = 4096;
}

static void describe_link64(const struct adapter_state *state, struct stat64 *buf)
{
    memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFLNK | 0777;
    buf->st_nlink = 1;
    buf->st_size = (off64_t)strlen(state->sysfs_target);
    buf->st_blksize = 4096;
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

ADAPTER_EXPORT int __lxstat(int version, const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    if (is_sysfs_entry(state, path)) {
        describe_link(state, buf);
        return 0;
    }
    return state->real.lxstat != NULL ? state->real.lxstat(version, path, buf) : missing();
}

ADAPTER_EXPORT int __lxstat64(int version, const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    if (is_sysfs_entry(state, path)) {
        describe_link64(state, buf);
        return 0;
    }
    return state->real.lxstat64 != NULL ? state->real.lxstat64(version, path, buf) : missing();
}

ADAPTER_EXPORT int lstat(const char *path, struct stat *buf)
{
    struct adapter_state *state = adapter();
    if (is_sysfs_entry(state, path)) {
        describe_link(state, buf);
        return 0;
    }
    return state->real.lstat != NULL ? state->real.lstat(path, buf) : missing();
}

ADAPTER_EXPORT int lstat64(const char *path, struct stat64 *buf)
{
    struct adapter_state *state = adapter();
    if (is_sysfs_entry(state, path)) {
        describe_link64(state, buf);
        return 0;
    }
    return state->real.lstat64 != NULL ? state->real.lstat64(path, buf) : missing();
}

ADAPTER_EXPORT ssize_t readlink(const char *path, char *buf, size_t size)
{
    struct adapter_state *state = adapter();
    if (!is_sysfs_entry(state, path))
        return state->real.readlink(path, buf, size);
    /* Like readlink(2): truncated to the buffer, no terminating NUL. */
    size_t length = strlen(state->sysfs_target);
    if (length > size)
        length = size;
    memcpy(buf, state->sysfs_target, length);
    return (ssize_t)length;
}
