/* Fault write-limit=N: the adapter takes at most N bytes of each write.
 *
 * A tty driver with a full output buffer fails a non-blocking write with EAGAIN, but
 * libserialport 0.1.1's sp_nonblocking_write turns every negative write() result,
 * EAGAIN included, into SP_ERR_FAIL. What a program using the library must see for
 * "the adapter took nothing" is the count 0, so with N = 0 write returns 0 (which
 * later libserialport releases also report for EAGAIN). */
#include "adapter.h"

ADAPTER_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    struct adapter_state *state = adapter();
    if (state->write_limit < 0 || (size_t)state->write_limit >= count ||
        !adapter_owns(state, fd))
        return state->real.write(fd, buf, count);
    size_t limit = (size_t)state->write_limit;
    adapter_event(state, "write-limited %zu %zu", count, limit);
    return limit == 0 ? 0 : state->real.write(fd, buf, limit);
}
