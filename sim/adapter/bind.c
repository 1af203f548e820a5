/* Binding libc's entry points. */
#include "adapter.h"

#include <string.h>

/* dlsym returns an object pointer; copying it is the portable way to a function. Each result
 * is checked here, once, so that no call through a null pointer can happen later. */
#define BIND(field, name)                                                             \
    do {                                                                              \
        void *symbol = lookup(name, context);                                         \
        if (symbol == NULL)                                                           \
            adapter_stop("libc has no %s, which the layer passes calls on to", name); \
        memcpy(&real->field, &symbol, sizeof real->field);                            \
    } while (0)

/* Entry points that only some builds of libc have: the layer answers ENOSYS without them. */
#define BIND_OPTIONAL(field, name)                         \
    do {                                                   \
        void *symbol = lookup(name, context);              \
        memcpy(&real->field, &symbol, sizeof real->field); \
    } while (0)

void adapter_bind(struct real_calls *real, adapter_lookup lookup, const void *context)
{
    BIND(open, "open");
    BIND(open64, "open64");
    BIND(open_2, "__open_2");
    BIND(open64_2, "__open64_2");
    BIND(openat, "openat");
    BIND(openat64, "openat64");
    BIND(openat_2, "__openat_2");
    BIND(openat64_2, "__openat64_2");
    BIND(close, "close");
    BIND(ioctl, "ioctl");
    BIND(tcdrain, "tcdrain");
    BIND(write, "write");
    BIND(read, "read");
    BIND(readlink, "readlink");
    BIND(realpath, "realpath");
    BIND(realpath_chk, "__realpath_chk");
    BIND(lxstat, "__lxstat");
    BIND(lxstat64, "__lxstat64");
    BIND(lstat, "lstat");
    BIND(lstat64, "lstat64");
    BIND(stat, "stat");
    BIND(stat64, "stat64");
    BIND(tcsetattr, "tcsetattr");
    BIND(tcflush, "tcflush");
    BIND(dup, "dup");
    BIND(dup2, "dup2");
    BIND(dup3, "dup3");
    /* 32-bit systems built for 64-bit time call these; 64-bit systems have neither. */
    BIND_OPTIONAL(ioctl_time64, "__ioctl_time64");
    BIND_OPTIONAL(lstat64_time64, "__lstat64_time64");
    BIND_OPTIONAL(stat64_time64, "__stat64_time64");
}
