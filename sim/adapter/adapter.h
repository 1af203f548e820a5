/*
 * libmotor-sim-adapter.so: an LD_PRELOAD layer that stands in for a USB-to-RS-485
 * adapter. It is inert unless MOTOR_SIM holds its configuration (the simulated device path and
 * the rest, ../protocol.h), and it fakes exactly this, for that path and the descriptors opened
 * on it only:
 *
 *   - the device's node (/dev/<name>): lstat and stat answer the pseudo-terminal's
 *     record with the device number of an adapter of that name (188:N for ttyUSBN,
 *     166:N for ttyACMN, 4:64+N otherwise), and readlink of /proc/<pid>/fd/<n> of a
 *     descriptor on the pseudo-terminal answers the node, but for motor-sim's own;
 *   - the device's sysfs: lstat (__lxstat, __lxstat64, lstat, lstat64), stat (stat,
 *     stat64), both 64-bit-time entry points where time_t is 32 bits wide, readlink and
 *     open of a path under /sys/ answer from motor-sim's folder (the sysfs field) where
 *     it has the path: /sys/class/tty/<name> (name = the device path's last component)
 *     a link into a USB device for ttyUSB and ttyACM names, a platform device for other
 *     names, with the driver bound to it, the USB ids and, for a UART, its clock;
 *   - realpath, __realpath_chk: a path whose symbolic-link chain ends at the
 *     simulated device (which does not exist on the machine) resolves to it; a
 *     device path outside /dev/ stands for a link to /dev/<its last component>, as a
 *     udev link does, and resolves there (libserialport takes only names under /dev/),
 *     and that name is the device too;
 *   - open, open64, __open_2, __open64_2, openat, openat64, __openat_2, __openat64_2
 *     of the device path: open the pseudo-terminal slave (the pty field) with the
 *     same flags plus O_NOCTTY and remember the descriptor; fault refuse-open: EACCES;
 *   - ioctl (and __ioctl_time64 where time_t is 32 bits wide) on remembered
 *     descriptors: TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC keep a modem-line state,
 *     TIOCGSERIAL answers a zeroed serial_struct carrying the flags last set (fault
 *     no-serial-info: ENOTTY), TIOCSSERIAL keeps the flags and reports whether
 *     ASYNC_LOW_LATENCY was asked for (fault refuse-low-latency: EPERM),
 *     TCSETS2/TCSETSW2/TCSETSF2 to 4,000,000 baud fail with EINVAL under fault
 *     refuse-baud, set the substituted rate instead under fault substitute-baud=RATE
 *     (as a driver that falls back and says so), and are taken as asked under fault
 *     silent-baud=RATE while motor-sim is told the line runs RATE (as ch341 clamps);
 *   - tcdrain, and ioctl TCSBRK with a non-zero argument (the same wait): each call is
 *     reported; under fault stall-drain the transmitter never empties, so the wait
 *     lasts until a signal interrupts it and then fails with EINTR, as the kernel's
 *     does; writes are taken whole and never reach the line;
 *   - write on remembered descriptors, fault write-limit=N only: at most N bytes of
 *     each write are taken, and write returns 0 when N is 0 (see write.c);
 *   - read on remembered descriptors: passed through, and every read that got bytes
 *     is reported with its count before it returns, so that motor-sim can hang up
 *     at an exact point of the exchange (--hangup-after-read);
 *   - close of a remembered descriptor forgets it;
 *   - in a replay (fault replay), opens of any other serial device, which fail, and input
 *     flushes on the device, which are reported (replay.c).
 *
 * While the device exists its sysfs, realpath and open are faked; once the
 * pseudo-terminal slave is gone (motor-sim hung up the bus) every call passes
 * through and fails as for an unplugged adapter. Every other call and descriptor is
 * passed straight to libc. Events go to motor-sim on the socket the events field names, as
 * ../protocol.h describes them; the tap (tap.c) is configured by MOTOR_SIM_TAP.
 */
#ifndef MOTOR_SIM_ADAPTER_H
#define MOTOR_SIM_ADAPTER_H

/* The layer answers libc's entry points by their own names, each with the records of
 * that entry point: open and open64, lstat and lstat64, ioctl. _FILE_OFFSET_BITS=64
 * and _TIME_BITS=64 would rename the declarations of open, lstat and ioctl to the
 * 64-bit entry points, defining those twice and the base ones not at all, so the
 * layer is compiled for the base ABI whatever the rest of the build asks for; the
 * 64-bit-time entry points of 32-bit systems are added on their own (ioctl.c,
 * lookup_time64.c). This header must therefore come before any system header. */
#ifdef _FEATURES_H
#error "adapter.h must be included before any system header"
#endif
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <limits.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "../protocol.h"
#include "sysfs_overlay.h"

#define ADAPTER_MAX_OWNED 16

/* libc's own entry points, bound once with dlsym(RTLD_NEXT). */
struct real_calls {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*open_2)(const char *, int);
    int (*open64_2)(const char *, int);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    int (*openat_2)(int, const char *, int);
    int (*openat64_2)(int, const char *, int);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*tcdrain)(int);
    int (*ioctl_time64)(int, unsigned long, ...); /* 32-bit systems only */
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*readlink)(const char *, char *, size_t);
    char *(*realpath)(const char *, char *);
    char *(*realpath_chk)(const char *, char *, size_t);
    int (*lxstat)(int, const char *, struct stat *);
    int (*lxstat64)(int, const char *, struct stat64 *);
    int (*lstat)(const char *, struct stat *);
    int (*lstat64)(const char *, struct stat64 *);
    int (*lstat64_time64)(const char *, void *); /* 32-bit systems only */
    int (*stat)(const char *, struct stat *);
    int (*stat64)(const char *, struct stat64 *);
    int (*stat64_time64)(const char *, void *); /* 32-bit systems only */
    int (*tcsetattr)(int, int, const void *);
    int (*tcflush)(int, int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
};

/* Descriptors the tap keeps track of; the device is opened with one of the first few. */
#define TAP_MAX_FD 1024

/* The tap: what it watches and where it reports (see tap.c). */
struct tap_state {
    bool active;                     /* MOTOR_SIM_TAP is set and its socket is one */
    bool device_known;               /* the device node existed when the layer started */
    dev_t rdev;                      /* its device number */
    int fd;                          /* report socket */
    atomic_bool watched[TAP_MAX_FD]; /* descriptors open on the device */
    atomic_bool opened;              /* reported the first open */
    atomic_int last_failure;         /* failure last reported, 0 after a success, -1 after EOF */
    int last_fd;                     /* device descriptor last opened, for the end of the run */
};

/* The layer's one process-wide record. */
struct adapter_state {
    struct real_calls real;
    bool active;              /* MOTOR_SIM is set */
    struct sim_config config; /* the simulated device, its pty, sysfs folder and faults */
    char node[PATH_MAX]; /* what the device resolves to: itself under /dev/, else /dev/<name> */
    dev_t node_rdev;     /* the device number the node shows, as an adapter's */
    pid_t simulator_pid; /* motor-sim, the event channel's peer; 0 when unknown */
    int event_fd;        /* config.events if it is a SOCK_SEQPACKET socket, else -1 */
    atomic_int owned[ADAPTER_MAX_OWNED]; /* descriptor + 1, 0 for a free slot */
    atomic_int modem_lines;              /* TIOCM_* bits */
    atomic_int serial_flags;             /* serial_struct.flags last set */
    struct tap_state tap;
};

#if __TIMESIZE == 32
/* What programs built with _TIME_BITS=64 call in place of ioctl. */
int __ioctl_time64(int fd, unsigned long request, ...);
#endif

/* Finds a libc entry point by name: dlsym(RTLD_NEXT, name) in the layer; context is the one
 * given to adapter_bind. */
typedef void *(*adapter_lookup)(const char *name, const void *context);

/* Binds every call in real through lookup. A libc that lacks one of them cannot run the layer:
 * the process stops (adapter_stop) with a message naming the symbol. */
void adapter_bind(struct real_calls *real, adapter_lookup lookup, const void *context);

/* Longest message adapter_stop writes, the program's name in front excluded. */
#define MOTOR_SIM_STOP_MAX 256

/* Writes "libmotor-sim-adapter.so: <message>" to standard error and ends the process with
 * status 125, motor-sim's own failure status: for a libc or an environment the layer cannot
 * work with, where going on would fake the adapter wrongly or crash. */
void adapter_stop(const char *format, ...) __attribute__((noreturn, format(printf, 1, 2)));

/* Binds libc and reads the environment on first use; returns the record. */
struct adapter_state *adapter(void);

/* True when the layer is active and the simulated device is present. */
bool adapter_device_present(const struct adapter_state *state);
bool adapter_is_device(const struct adapter_state *state, const char *path);

bool adapter_owns(struct adapter_state *state, int fd);
void adapter_own(struct adapter_state *state, int fd);
void adapter_forget(struct adapter_state *state, int fd);

/* fd if it is a SOCK_SEQPACKET socket, else -1. */
int adapter_channel(int fd);

/* Sends one event to motor-sim and waits until it has been handled; errno is kept. */
void adapter_event(struct adapter_state *state, struct sim_message event);

/* Sends a question (SIM_ASK) to motor-sim and waits for the answer: 0 to go on, or the errno the
 * call must fail with. errno is kept. */
int adapter_ask(struct adapter_state *state, struct sim_message question);

/* The tap (tap.c). tap_configure runs once from adapter(); the others do nothing
 * unless the tap is on and fd is the tapped device. */
void tap_configure(struct adapter_state *state);
bool tap_watches(struct adapter_state *state, int fd);
long long tap_now(void);
/* kind: SIM_TAP_TX, SIM_TAP_RX or SIM_TAP_FLUSH. */
void tap_data(struct adapter_state *state, enum sim_kind kind, long long ns, const void *bytes,
              size_t count);
void tap_before_ioctl(struct adapter_state *state, int fd, unsigned long request,
                      const void *argument);
void tap_after_ioctl(struct adapter_state *state, int fd, unsigned long request,
                     const void *argument, int result, int error);
/* Returns fd, now tapped if it is open on the device. */
int tap_opened(struct adapter_state *state, int fd);
/* Before fd is closed: the line settings it leaves. */
void tap_closing(struct adapter_state *state, int fd);
/* error: the call's errno (kept). */
void tap_failed(struct adapter_state *state, enum sim_call call, int error);
void tap_end_of_file(struct adapter_state *state);

/* A replay (replay.c); each does nothing outside one. True, with errno set, when an open of
 * path must fail: a serial device other than the simulated one, which is reported. */
bool replay_refuses_open(struct adapter_state *state, int dirfd, const char *path);
/* Before an input flush (queue as tcflush's) on fd. */
void replay_flush(struct adapter_state *state, int fd, int queue);

#endif
