// The socket the adapter layer reports on (its events, or the tap's reports): one
// SOCK_SEQPACKET message each (../protocol.h), read without blocking.
#pragma once

#include "../protocol.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

// Hands each message waiting on fd to handle, in order, decoded (kind SIM_UNREADABLE for one
// that is not a message); its data lives until handle returns. Once every holder of the layer's
// end has gone, closes fd and sets it to -1.
template <typename Handle> void layer_receive(int &fd, Handle handle)
{
    unsigned char datagram[SIM_MESSAGE_MAX];
    while (fd >= 0) {
        ssize_t got = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        if (got <= 0) {
            close(fd);
            fd = -1;
            return;
        }
        sim_message message{};
        sim_message_decode(datagram, static_cast<std::size_t>(got), &message);
        handle(message);
    }
}

} // namespace sim
