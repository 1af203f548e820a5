#include "serial/drain.h"

#include "serial/operator_texts.h"

#include <termios.h>

#include <cerrno>

namespace {

// Interrupts the wait in tcdrain; the handler itself has nothing to do.
extern "C" void interrupt_wait(int /*signal*/) {}

// A stop (Ctrl-Z) is not the driver's fault: SIGCONT's handler is one-shot (SA_RESETHAND), so
// finding it gone tells that the process was continued.
void catch_continue()
{
    struct sigaction action {};
    action.sa_handler = interrupt_wait;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCONT, &action, nullptr);
}

// Whether SIGCONT came since catch_continue: its one-shot handler is gone.
bool continued()
{
    struct sigaction current {};
    sigaction(SIGCONT, nullptr, &current);
    return current.sa_handler != interrupt_wait;
}

void arm(WaitBound& bound)
{
    const itimerspec once{
        {0, 0}, {SERIAL_DRAIN_LIMIT_MS / 1000, SERIAL_DRAIN_LIMIT_MS % 1000 * 1'000'000L}};
    bound.armed = bound.armed && timer_settime(bound.timer, 0, &once, nullptr) == 0;
}

// Whether the bound has passed: a one-shot timer reads zero once it has fired.
bool expired(const WaitBound& bound)
{
    itimerspec left{};
    return bound.armed && timer_gettime(bound.timer, &left) == 0 && left.it_value.tv_sec == 0 &&
           left.it_value.tv_nsec == 0;
}

} // namespace

WaitBound start_bound()
{
    WaitBound bound;
    struct sigaction tick {};
    tick.sa_handler = interrupt_wait;
    sigemptyset(&tick.sa_mask);
    sigaction(SIGALRM, &tick, &bound.previous_alarm);
    sigaction(SIGCONT, nullptr, &bound.previous_continue);
    catch_continue();
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    bound.armed = timer_create(CLOCK_MONOTONIC, &event, &bound.timer) == 0;
    sigset_t waking{};
    sigemptyset(&waking);
    sigaddset(&waking, SIGALRM);
    sigaddset(&waking, SIGCONT);
    sigprocmask(SIG_UNBLOCK, &waking, &bound.previous_mask);
    arm(bound);
    return bound;
}

void stop_bound(WaitBound& bound)
{
    if (bound.armed) {
        timer_delete(bound.timer);
    }
    sigprocmask(SIG_SETMASK, &bound.previous_mask, nullptr);
    sigaction(SIGCONT, &bound.previous_continue, nullptr);
    sigaction(SIGALRM, &bound.previous_alarm, nullptr);
}

Drain drain_within_limit(int fd)
{
    WaitBound bound = start_bound();
    Drain result = Drain::failed;
    for (;;) {
        if (tcdrain(fd) == 0) {
            result = Drain::done;
            break;
        }
        if (errno != EINTR) {
            break;
        }
        if (continued()) {
            catch_continue();
            arm(bound); // the time stopped does not count against the adapter
            continue;
        }
        if (expired(bound)) {
            result = Drain::timed_out;
            break;
        }
    }
    stop_bound(bound);
    return result;
}
