/* The part of the port lookup that lookup_time64.c shares with the rest of the layer.
 * It names no libc record, since that file is compiled with other record layouts. */
#ifndef MOTOR_SIM_SYSFS_LINK_H
#define MOTOR_SIM_SYSFS_LINK_H

#include <stdbool.h>
#include <stddef.h>

#define ADAPTER_EXPORT __attribute__((visibility("default")))

/* True when path is the simulated device's sysfs entry while the device is present;
 * *length is then the length of what readlink answers for it. */
bool adapter_sysfs_link(const char *path, size_t *length);

/* libc's __lstat64_time64; fails with ENOSYS where libc has none. */
int adapter_real_lstat64_time64(const char *path, void *buf);

#endif
