/* The device's data path: writes under fault write-limit=N, and reads reported to
 * motor-sim.
 *
 * write-limit=N: the adapter takes at most N bytes of each write. A tty driver with a
 * full output buffer fails a non-blocking write with EAGAIN, but libserialport
 * 0.1.1's sp_nonblocking_write turns every negative write() result, EAGAIN included,
 * into SP_ERR_FAIL. What a program using the library must see for "the adapter took
 * nothing" is the count 0, so with N = 0 write returns 0 (which later libserialport
 * releases also report for EAGAIN).
 *
 * read: motor-sim counts what the command has taken off the bus. The event is
 * acknowledged before read returns, so a hang-up motor-sim makes on it is already in
 * place for the command's next call. End of file and errors are not reported: after
 * a hang-up libserialport keeps reading until its deadline.
 *
 * write: motor-sim hears of every write to the device, with its CLOCK_MONOTONIC moment, before
 * the bytes go out; it stamps the frames with it.
 *
 * stall-drain: the driver queues what is written, and nothing of it reaches the line.
 *
 * replay (motor-sim --replay): before each write (and drain, ioctl.c) the layer
 * asks motor-sim whether the recording has this call fail, and fails it with the recorded
 * error if so. The write's size tells motor-sim where in the recording the command is, and
 * its moment (taken here, as the tap takes it) when it began a recorded write.
 *
 * Both are reported to the tap (tap.c) when it watches the descriptor, failures and
 * end of file included. */
#include "adapter.h"

#include <errno.h>

static ssize_t device_write(struct adapter_state *state, int fd, const void *buf, size_t count)
{
    const struct sim_faults *faults = &state->config.faults;
    if (state->config.replay && adapter_owns(state, fd)) {
        int error = adapter_ask(
            state, (struct sim_message){
                       .kind = SIM_ASK, .ns = tap_now(), .count = count, .call = SIM_CALL_WRITE});
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    /* motor-sim stamps each frame with this moment: a busy machine may read it late, but the
     * gaps between the writes are the command's own. */
    if (adapter_owns(state, fd))
        adapter_event(state, (struct sim_message){.kind = SIM_WRITE, .ns = tap_now()});
    /* A hung chip: the driver queues the bytes, and they never reach the line. */
    if (faults->stall_drain && adapter_owns(state, fd)) {
        adapter_event(state, (struct sim_message){.kind = SIM_WRITE_HELD, .count = count});
        return (ssize_t)count;
    }
    if (!faults->limit_writes || faults->write_limit >= count || !adapter_owns(state, fd))
        return state->real.write(fd, buf, count);
    size_t limit = faults->write_limit;
    adapter_event(state,
                  (struct sim_message){.kind = SIM_WRITE_LIMITED, .count = count, .taken = limit});
    return limit == 0 ? 0 : state->real.write(fd, buf, limit);
}

/* The tap reports what the device accepted, with the moment the write was asked. */
ADAPTER_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    struct adapter_state *state = adapter();
    bool tapped = tap_watches(state, fd);
    long long ns = tapped ? tap_now() : 0;
    ssize_t written = device_write(state, fd, buf, count);
    if (tapped && written > 0)
        tap_data(state, SIM_TAP_TX, ns, buf, (size_t)written);
    else if (tapped && written < 0)
        tap_failed(state, SIM_CALL_WRITE, errno);
    return written;
}

ADAPTER_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    struct adapter_state *state = adapter();
    ssize_t got = state->real.read(fd, buf, count);
    if (tap_watches(state, fd)) {
        /* Nothing waiting on a non-blocking line is not a failure. */
        if (got > 0)
            tap_data(state, SIM_TAP_RX, tap_now(), buf, (size_t)got);
        else if (got == 0 && count > 0)
            tap_end_of_file(state);
        else if (got < 0 && errno != EAGAIN && errno != EINTR)
            tap_failed(state, SIM_CALL_READ, errno);
    }
    if (got > 0 && adapter_owns(state, fd))
        adapter_event(state, (struct sim_message){.kind = SIM_READ, .count = (uint64_t)got});
    return got;
}
