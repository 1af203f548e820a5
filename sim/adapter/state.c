/* The layer's state: libc binding, configuration from the environment, remembered
 * descriptors and the event channel to motor-sim. */
#include "adapter.h"

#include "../protocol.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static struct adapter_state g_state;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;

static void *next_symbol(const char *name, const void *context)
{
    (void)context;
    return dlsym(RTLD_NEXT, name);
}

static bool copy_text(char *out, size_t size, const char *text)
{
    size_t length = strlen(text);
    if (length == 0 || length >= size)
        return false;
    memcpy(out, text, length + 1);
    return true;
}

/* A write limit or a rate is a plain decimal count: a malformed one stops the layer rather
 * than pass for 0, which would refuse every write. */
static long read_count(const char *fault, const char *noun, const char *text, size_t length)
{
    long count = 0;
    bool valid = length > 0;
    for (size_t i = 0; valid && i < length; ++i) {
        valid = text[i] >= '0' && text[i] <= '9' && count <= (LONG_MAX - 9) / 10;
        if (valid)
            count = count * 10 + (text[i] - '0');
    }
    if (!valid)
        adapter_stop("%s: %s needs a %s, not '%.*s'", MOTOR_SIM_ENV_FAULTS, fault, noun,
                     (int)length, text);
    return count;
}

static void read_faults(const char *faults)
{
    if (faults == NULL)
        return;
    const char *item = faults;
    while (*item != '\0') {
        size_t length = strcspn(item, ",");
        if (length == 11 && strncmp(item, "refuse-open", length) == 0)
            g_state.refuse_open = true;
        else if (length == 11 && strncmp(item, "refuse-baud", length) == 0)
            g_state.refuse_baud = true;
        else if (length == 18 && strncmp(item, "refuse-low-latency", length) == 0)
            g_state.refuse_low_latency = true;
        else if (length == 14 && strncmp(item, "no-serial-info", length) == 0)
            g_state.no_serial_info = true;
        else if (length == 6 && strncmp(item, "replay", length) == 0)
            g_state.replaying = true;
        else if (length == 11 && strncmp(item, "stall-drain", length) == 0)
            g_state.stall_drain = true;
        else if (strncmp(item, "write-limit=", 12) == 0)
            g_state.write_limit = read_count("write-limit", "byte count", item + 12, length - 12);
        else if (strncmp(item, "substitute-baud=", 16) == 0) {
            g_state.substitute_rate =
                (unsigned)read_count("substitute-baud", "rate", item + 16, length - 16);
            if (g_state.substitute_rate == 0)
                adapter_stop("%s: substitute-baud needs a rate, not '0'", MOTOR_SIM_ENV_FAULTS);
        } else
            adapter_stop("%s: unknown adapter fault '%.*s'", MOTOR_SIM_ENV_FAULTS, (int)length,
                         item);
        item += length;
        if (*item == ',')
            ++item;
    }
}

/* sysfs shows every tty as a link into the device tree; USB serial adapters and
 * CDC-ACM devices sit below a USB interface, others below a platform device. The
 * entry is named after the device's last component, wherever the path lies, as
 * libserialport looks it up. A name too long for either path gets no entry, so the
 * lookup fails as for a missing tty. */
static void describe_sysfs(void)
{
    const char *name = strrchr(g_state.device, '/') + 1;
    if (*name == '\0')
        return;
    int entry =
        snprintf(g_state.sysfs_entry, sizeof g_state.sysfs_entry, "/sys/class/tty/%s", name);
    int target;
    if (strncmp(name, "ttyUSB", 6) == 0)
        target = snprintf(g_state.sysfs_target, sizeof g_state.sysfs_target,
                          "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/%s/tty/%s", name,
                          name);
    else if (strncmp(name, "ttyACM", 6) == 0)
        target = snprintf(g_state.sysfs_target, sizeof g_state.sysfs_target,
                          "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/%s", name);
    else
        target = snprintf(g_state.sysfs_target, sizeof g_state.sysfs_target,
                          "../../devices/platform/serial8250/tty/%s", name);
    if (entry < 0 || (size_t)entry >= sizeof g_state.sysfs_entry || target < 0 ||
        (size_t)target >= sizeof g_state.sysfs_target)
        g_state.sysfs_entry[0] = '\0';
}

/* Only a SOCK_SEQPACKET socket is taken as the event channel, so a descriptor number
 * that a program reused for something else is left alone. */
int adapter_channel(const char *text)
{
    if (text == NULL)
        return -1;
    char *end = NULL;
    long fd = strtol(text, &end, 10);
    if (end == text || *end != '\0' || fd < 0 || fd > INT_MAX)
        return -1;
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt((int)fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
        return -1;
    return (int)fd;
}

static void configure(void)
{
    adapter_bind(&g_state.real, next_symbol, NULL);
    g_state.event_fd = -1;
    g_state.write_limit = -1;
    atomic_store(&g_state.modem_lines, 0);
    atomic_store(&g_state.serial_flags, 0);
    tap_configure(&g_state);
    const char *device = getenv(MOTOR_SIM_ENV_DEVICE);
    const char *pty = getenv(MOTOR_SIM_ENV_PTY);
    if (device == NULL || pty == NULL || device[0] != '/' ||
        !copy_text(g_state.device, sizeof g_state.device, device) ||
        !copy_text(g_state.pty, sizeof g_state.pty, pty))
        return;
    const char *name = strrchr(g_state.device, '/') + 1;
    if (strncmp(g_state.device, "/dev/", 5) == 0 ||
        snprintf(g_state.node, sizeof g_state.node, "/dev/%s", name) >= (int)sizeof g_state.node)
        memcpy(g_state.node, g_state.device, sizeof g_state.node);
    describe_sysfs();
    read_faults(getenv(MOTOR_SIM_ENV_FAULTS));
    g_state.event_fd = adapter_channel(getenv(MOTOR_SIM_ENV_EVENT_FD));
    g_state.active = true;
}

struct adapter_state *adapter(void)
{
    pthread_once(&g_once, configure);
    return &g_state;
}

bool adapter_device_present(const struct adapter_state *state)
{
    return state->active && access(state->pty, F_OK) == 0;
}

bool adapter_is_device(const struct adapter_state *state, const char *path)
{
    return state->active && path != NULL &&
           (strcmp(path, state->device) == 0 || strcmp(path, state->node) == 0);
}

bool adapter_owns(struct adapter_state *state, int fd)
{
    if (!state->active || fd < 0)
        return false;
    for (int i = 0; i < ADAPTER_MAX_OWNED; ++i)
        if (atomic_load(&state->owned[i]) == fd + 1)
            return true;
    return false;
}

void adapter_own(struct adapter_state *state, int fd)
{
    for (int i = 0; i < ADAPTER_MAX_OWNED; ++i) {
        int expected = 0;
        if (atomic_compare_exchange_strong(&state->owned[i], &expected, fd + 1))
            return;
    }
}

void adapter_forget(struct adapter_state *state, int fd)
{
    for (int i = 0; i < ADAPTER_MAX_OWNED; ++i) {
        int expected = fd + 1;
        atomic_compare_exchange_strong(&state->owned[i], &expected, 0);
    }
}

void adapter_event(struct adapter_state *state, const char *format, ...)
{
    if (state->event_fd < 0)
        return;
    int saved_errno = errno;
    char message[MOTOR_SIM_EVENT_MAX + 1];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (length > MOTOR_SIM_EVENT_MAX)
        length = MOTOR_SIM_EVENT_MAX;
    ssize_t sent;
    do
        sent = send(state->event_fd, message, (size_t)length, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        char ack;
        ssize_t got;
        do
            got = recv(state->event_fd, &ack, 1, 0);
        while (got < 0 && errno == EINTR);
    }
    errno = saved_errno;
}

int adapter_ask(struct adapter_state *state, const char *question)
{
    if (state->event_fd < 0)
        return 0;
    int saved_errno = errno;
    ssize_t sent;
    do
        sent = send(state->event_fd, question, strlen(question), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    char answer[16] = "";
    ssize_t got = 0;
    if (sent >= 0) {
        do
            got = recv(state->event_fd, answer, sizeof answer - 1, 0);
        while (got < 0 && errno == EINTR);
    }
    errno = saved_errno;
    if (got <= 1 || answer[0] != 'e')
        return 0;
    answer[got] = '\0';
    char *end = NULL;
    long error = strtol(answer + 1, &end, 10);
    return *end == '\0' && error > 0 && error <= INT_MAX ? (int)error : 0;
}
