/* lstat's and stat's 64-bit-time entry points, which programs call on 32-bit systems built
 * for 64-bit time (Debian's armhf from 13 on, Raspberry Pi OS based on it). Compiled
 * with the flags of such a build, so that struct stat here is those entry points'. */
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64

#include "sysfs_overlay.h"

#include <limits.h>
#include <sys/stat.h>

#if __TIMESIZE == 32
/* Under these flags <sys/stat.h> declares lstat and stat under these names. */
ADAPTER_EXPORT int __lstat64_time64(const char *path, struct stat *buf);
ADAPTER_EXPORT int __stat64_time64(const char *path, struct stat *buf);

/* The node: the pseudo-terminal's own record, with the device number an adapter's node has. */
static int node_answer(int result, struct stat *buf, unsigned long long rdev)
{
    if (result == 0)
        buf->st_rdev = (dev_t)rdev;
    return result;
}

ADAPTER_EXPORT int __lstat64_time64(const char *path, struct stat *buf)
{
    const char *pty = NULL;
    unsigned long long rdev = 0;
    if (adapter_node(path, &pty, &rdev))
        return node_answer(adapter_real_stat64_time64(pty, buf), buf, rdev);
    char overlay[PATH_MAX];
    return adapter_real_lstat64_time64(
        adapter_sysfs_path(path, overlay, sizeof overlay) ? overlay : path, buf);
}

ADAPTER_EXPORT int __stat64_time64(const char *path, struct stat *buf)
{
    const char *pty = NULL;
    unsigned long long rdev = 0;
    if (adapter_node(path, &pty, &rdev))
        return node_answer(adapter_real_stat64_time64(pty, buf), buf, rdev);
    char overlay[PATH_MAX];
    return adapter_real_stat64_time64(
        adapter_sysfs_path(path, overlay, sizeof overlay) ? overlay : path, buf);
}
#endif
