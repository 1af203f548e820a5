/* The layer's state: libc binding, configuration from the environment, remembered
 * descriptors and the event channel to motor-sim. */
#include "adapter.h"

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

/* Only a SOCK_SEQPACKET socket is taken as a channel to motor-sim, so that a descriptor number
 * that a program reused for something else is left alone. */
int adapter_channel(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_SEQPACKET)
        return -1;
    return fd;
}

/* The simulated device as MOTOR_SIM configures it; one the layer cannot read stops the command
 * rather than pass for no simulation at all. */
static void configure_simulation(const char *text)
{
    char error[MOTOR_SIM_STOP_MAX];
    if (!sim_config_decode(text, &g_state.config, error, sizeof error))
        adapter_stop("%s: %s", MOTOR_SIM_ENV, error);
    const char *device = g_state.config.device;
    const char *name = strrchr(device, '/') + 1;
    if (strncmp(device, "/dev/", 5) == 0 ||
        snprintf(g_state.node, sizeof g_state.node, "/dev/%s", name) >= (int)sizeof g_state.node)
        memcpy(g_state.node, device, sizeof g_state.node);
    g_state.node_rdev = node_number(strrchr(g_state.node, '/') + 1);
    g_state.event_fd = adapter_channel(g_state.config.events);
    struct ucred peer;
    socklen_t peer_length = sizeof peer;
    if (g_state.event_fd >= 0 &&
        getsockopt(g_state.event_fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) == 0)
        g_state.simulator_pid = peer.pid;
    g_state.active = true;
}

static void configure(void)
{
    adapter_bind(&g_state.real, next_symbol, NULL);
    g_state.event_fd = -1;
    atomic_store(&g_state.modem_lines, 0);
    atomic_store(&g_state.serial_flags, 0);
    const char *text = getenv(MOTOR_SIM_ENV);
    if (text != NULL && text[0] != '\0')
        configure_simulation(text);
    /* After the simulation: a tap of the simulated device watches its pseudo-terminal. */
    tap_configure(&g_state);
}

struct adapter_state *adapter(void)
{
    pthread_once(&g_once, configure);
    return &g_state;
}

bool adapter_device_present(const struct adapter_state *state)
{
    return state->active && access(state->config.pty, F_OK) == 0;
}

bool adapter_is_device(const struct adapter_state *state, const char *path)
{
    return state->active && path != NULL &&
           (strcmp(path, state->config.device) == 0 || strcmp(path, state->node) == 0);
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

/* Sends message and waits for motor-sim's answer; returns the error it carries. */
static int exchange(struct adapter_state *state, const struct sim_message *message)
{
    if (state->event_fd < 0)
        return 0;
    int saved_errno = errno;
    unsigned char datagram[SIM_MESSAGE_MAX];
    size_t length = sim_message_encode(message, datagram);
    ssize_t sent;
    do
        sent = send(state->event_fd, datagram, length, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    ssize_t got = 0;
    if (sent >= 0) {
        do
            got = recv(state->event_fd, datagram, sizeof datagram, 0);
        while (got < 0 && errno == EINTR);
    }
    errno = saved_errno;
    struct sim_message answer;
    if (got <= 0 || !sim_message_decode(datagram, (size_t)got, &answer) ||
        answer.kind != SIM_ANSWER || answer.error < 0)
        return 0;
    return answer.error;
}

void adapter_event(struct adapter_state *state, struct sim_message event)
{
    exchange(state, &event);
}

int adapter_ask(struct adapter_state *state, struct sim_message question)
{
    return exchange(state, &question);
}
