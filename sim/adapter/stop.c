/* The layer's way of giving up, for a libc or an environment it cannot work with. */
#include "adapter.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

/* motor-sim's own failure status, so that a layer that cannot run is told apart from the
 * command's own statuses as motor-sim's failures are. */
#define ADAPTER_FAILURE 125

void adapter_stop(const char *format, ...)
{
    char message[MOTOR_SIM_STOP_MAX];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    /* glibc's dprintf writes through its own write, never through the layer's. */
    dprintf(STDERR_FILENO, "libmotor-sim-adapter.so: %s\n", message);
    _exit(ADAPTER_FAILURE);
}
