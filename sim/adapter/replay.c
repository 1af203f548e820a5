/* A replay (motor-sim --replay): motor-sim judges more of the run than the bytes. Input
 * flushes on the device are reported: the verdict compares them with the recorded ones. */
#include "adapter.h"

#include <termios.h>

void replay_flush(struct adapter_state *state, int fd, int queue)
{
    if (state->replaying && (queue == TCIFLUSH || queue == TCIOFLUSH) && adapter_owns(state, fd))
        adapter_event(state, "flush");
}
