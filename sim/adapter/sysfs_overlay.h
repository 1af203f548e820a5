/* The part of the sysfs overlay that lookup_time64.c shares with the rest of the layer.
 * It names no libc record, since that file is compiled with other record layouts. */
#ifndef MOTOR_SIM_SYSFS_OVERLAY_H
#define MOTOR_SIM_SYSFS_OVERLAY_H

#include <stdbool.h>
#include <stddef.h>

#define ADAPTER_EXPORT __attribute__((visibility("default")))

/* True when motor-sim's sysfs folder has path (a path under /sys/) while the simulated device
 * is present; out (of size bytes) is then where the folder has it. */
bool adapter_sysfs_path(const char *path, char *out, size_t size);

/* True when path is the simulated device's node (/dev/<name>) while the device is present: *pty
 * is then the pseudo-terminal standing in for it, and *rdev the device number the node shows
 * (188:N for ttyUSBN, 166:N for ttyACMN, 4:64+N for other names, as the kernel numbers them). */
bool adapter_node(const char *path, const char **pty, unsigned long long *rdev);

/* libc's __lstat64_time64 and __stat64_time64; they fail with ENOSYS where libc has none. */
int adapter_real_lstat64_time64(const char *path, void *buf);
int adapter_real_stat64_time64(const char *path, void *buf);

#endif
