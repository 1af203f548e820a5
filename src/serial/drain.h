// The bound on the driver's waits: how long renumber lets the adapter take to send a frame, or to
// close. tcdrain and close wait as long as the driver does, and an adapter whose endpoint stopped
// taking data would hold the run forever.
#pragma once

#include <csignal>
#include <ctime>

enum class Drain { done, failed, timed_out };

/// tcdrain on fd, cut short after SERIAL_DRAIN_LIMIT_MS of running time: a stop (Ctrl-Z) does not
/// count, so a drain continued after one is judged on its own time. One tcdrain call unless a
/// stop or another signal interrupts it.
Drain drain_within_limit(int fd);

/// While it lasts, a wait in the driver is interrupted after SERIAL_DRAIN_LIMIT_MS: a one-shot
/// timer of this process's own raises SIGALRM, whose handler does not restart the wait. SIGALRM
/// and SIGCONT are handled and unblocked whatever state the process was started with; stopping
/// the bound puts back the handlers and the signal mask it found.
struct WaitBound {
    timer_t timer{};
    bool armed = false;
    struct sigaction previous_alarm {};
    struct sigaction previous_continue {};
    sigset_t previous_mask{};
};

WaitBound start_bound();
void stop_bound(WaitBound& bound);
