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
#include <sys/sysmacros.h>
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

/* A rate: a decimal count from 1 on. */
static unsigned read_rate(const char *fault, const char *text, size_t length)
{
    long rate = read_count(fault, "rate", text, length);
    if (rate == 0)
        adapter_stop("%s: %s needs a rate, not '0'", MOTOR_SIM_ENV_FAULTS, fault);
    return (unsigned)rate;
}

/* One fault of the comma-separated list: a bare word, or NAME=VALUE. */
static void read_fault(const char *item, size_t length)
{
    const struct {
        const char *name;
        bool *flag;
    } flags[] = {
        {"refuse-open", &g_state.refuse_open},
        {"refuse-baud", &g_state.refuse_baud},
        {"refuse-low-latency", &g_state.refuse_low_latency},
        {"no-serial-info", &g_state.no_serial_info},
        {"replay", &g_state.replaying},
        {"stall-drain", &g_state.stall_drain},
    };
    for (size_t i = 0; i < sizeof flags / sizeof flags[0]; ++i) {
        if (length == strlen(flags[i].name) && strncmp(item, flags[i].name, length) == 0) {
            *flags[i].flag = true;
            return;
        }
    }
    const char *value = memchr(item, '=', length);
    size_t name_length = value != NULL ? (size_t)(value - item) : length;
    size_t value_length = value != NULL ? length - name_length - 1 : 0;
    if (value != NULL && name_length == 11 && strncmp(item, "write-limit", 11) == 0)
        g_state.write_limit = read_count("write-limit", "byte count", value + 1, value_length);
    else if (value != NULL && name_length == 15 && strncmp(item, "substitute-baud", 15) == 0)
        g_state.substitute_rate = read_rate("substitute-baud", value + 1, value_length);
    else if (value != NULL && name_length == 11 && strncmp(item, "silent-baud", 11) == 0)
        g_state.silent_rate = read_rate("silent-baud", value + 1, value_length);
    else
        adapter_stop("%s: unknown adapter fault '%.*s'", MOTOR_SIM_ENV_FAULTS, (int)length, item);
}

static void read_faults(const char *faults)
{
    if (faults == NULL)
        return;
    const char *item = faults;
    while (*item != '\0') {
        size_t length = strcspn(item, ",");
        read_fault(item, length);
        item += length;
        if (*item == ',')
            ++item;
    }
}

/* The device number the kernel gives a tty of that name. */
static dev_t node_number(const char *name)
{
    const char *digits = name + strcspn(name, "0123456789");
    unsigned index = (unsigned)strtoul(digits, NULL, 10);
    if (strncmp(name, "ttyUSB", 6) == 0)
        return makedev(188, index);
    if (strncmp(name, "ttyACM", 6) == 0)
        return makedev(166, index);
    return makedev(4, 64 + index);
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
    const char *sysfs = getenv(MOTOR_SIM_ENV_SYSFS);
    if (sysfs != NULL && sysfs[0] == '/')
        copy_text(g_state.sysfs_root, sizeof g_state.sysfs_root, sysfs);
    read_faults(getenv(MOTOR_SIM_ENV_FAULTS));
    g_state.event_fd = adapter_channel(getenv(MOTOR_SIM_ENV_EVENT_FD));
    g_state.node_rdev = node_number(strrchr(g_state.node, '/') + 1);
    struct ucred peer;
    socklen_t peer_length = sizeof peer;
    if (g_state.event_fd >= 0 &&
        getsockopt(g_state.event_fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) == 0)
        g_state.simulator_pid = peer.pid;
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
