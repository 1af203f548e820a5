/* lstat's 64-bit-time entry point, which libserialport calls on 32-bit systems built
 * for 64-bit time (Debian's armhf from 13 on, Raspberry Pi OS based on it). Compiled
 * with the flags of such a build, so that struct stat here is that entry point's. */
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64

#include "sysfs_link.h"

#include <string.h>
#include <sys/stat.h>

#if __TIMESIZE == 32
/* Under these flags <sys/stat.h> declares lstat under this name. */
ADAPTER_EXPORT int __lstat64_time64(const char *path, struct stat *buf);

ADAPTER_EXPORT int __lstat64_time64(const char *path, struct stat *buf)
{
    size_t length = 0;
    if (!adapter_sysfs_link(path, &length))
        return adapter_real_lstat64_time64(path, buf);
    memset(buf, 0, sizeof *buf);
    buf->st_mode = S_IFLNK | 0777;
    buf->st_nlink = 1;
    buf->st_size = (off_t)length;
    buf->st_blksize = 4096;
    return 0;
}
#endif
