// The socket the adapter layer reports on (its events, or the tap's reports): one
// SOCK_SEQPACKET message per event, read without blocking.
#pragma once

#include "../protocol.h"

#include <cerrno>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

// Hands each message waiting on fd to handle, in order. Once every holder of the layer's end
// has gone, closes fd and sets it to -1.
template <typename Handle> void layer_receive(int &fd, Handle handle)
{
    char message[MOTOR_SIM_EVENT_MAX + 1];
    while (fd >= 0) {
        ssize_t got = recv(fd, message, MOTOR_SIM_EVENT_MAX, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        if (got <= 0) {
            close(fd);
            fd = -1;
            return;
        }
        handle(std::string(message, static_cast<std::size_t>(got)));
    }
}

} // namespace sim
