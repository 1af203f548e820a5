#include "serial/serial.h"

#include "serial/line_rate.h"

#include <libserialport.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The operator's message keeps its wording; the line on standard error, in perror form, is
// what tells a refused permission from a port in use from a node that is no serial port.
[[noreturn]] void fail_open(const char* message, const char* call, const std::string& reason)
{
    std::puts(message);
    std::fprintf(stderr, "%s: %s\n", call, reason.c_str());
    std::exit(-1);
}

// Only SP_ERR_FAIL carries the system's error; errno means nothing after the other codes.
// Read before anything else can change errno.
std::string failure_reason(sp_return code)
{
    switch (code) {
    case SP_ERR_FAIL: {
        const int error = sp_last_error_code();
        char* text = sp_last_error_message();
        std::string reason = text != nullptr ? text : std::strerror(error);
        sp_free_error_message(text);
        return reason;
    }
    case SP_ERR_MEM:
        return std::strerror(ENOMEM);
    case SP_ERR_SUPP:
        return std::strerror(EOPNOTSUPP);
    default:
        return std::strerror(EINVAL);
    }
}

// The lookup refuses with SP_ERR_ARG both a path that does not exist and one the system does
// not list as a serial port; the node itself tells them apart.
std::string lookup_reason(const std::string& path, sp_return code)
{
    if (code != SP_ERR_ARG) {
        return failure_reason(code);
    }
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) {
        return std::strerror(errno);
    }
    return "Not a serial port";
}

// libserialport 0.1.2 and later lock the port with flock(LOCK_EX | LOCK_NB) right after opening
// it; EWOULDBLOCK from the open means another program holds that lock.
std::string open_reason(sp_return code)
{
    const bool locked = code == SP_ERR_FAIL && sp_last_error_code() == EWOULDBLOCK;
    std::string reason = failure_reason(code);
    if (locked) {
        reason += " (the port is locked by another program)";
    }
    return reason;
}

// libserialport 0.1.1 looks the name up under /sys/class/tty without following symbolic
// links, so the stable /dev/serial/by-id/... names would not be found. A path that does not
// resolve is passed on as typed, and the lookup reports it.
std::string resolve_device_path(const char* device)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(device, nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : std::string(device);
}

// Steps after the line settings: the descriptor, NOFLSH and, for a path typed as a USB adapter,
// low latency. Returns 0, or the code of the step that stopped them.
std::int32_t adjust_terminal(sp_port* port, const char* device)
{
    int fd = -1;
    const sp_return handle_result = sp_get_port_handle(port, &fd);
    if (handle_result != SP_OK) {
        std::puts("[Error] Get Serial port FD failure.");
        return handle_result;
    }
    if (serial_disable_noflsh(fd) != 0) {
        std::fputs("Failed to disable NOFLSH\n", stderr);
        return -1;
    }
    // Only the name as typed is tested: a by-id link to a ttyUSB node does not qualify.
    if (std::strncmp(device, USB_ADAPTER_PREFIX, sizeof USB_ADAPTER_PREFIX - 1) == 0) {
        const std::int32_t result = serial_set_low_latency(fd);
        if (result != 0) {
            std::printf("[WARNING] Set serial flag failure: ASYNC_LOW_LATENCY = %d.\n", result);
        }
    }
    return 0;
}

// Several drivers accept 4,000,000 baud and run the line at another rate, which they report
// back in the terminal settings: ftdi_sio falls back to 9,600 on parts that cannot run it,
// cp210x and pl2303 clamp to the part's maximum, 8250 falls back when its clock is too slow.
// Frames sent then are noise to the motor, so a reported rate off the bus's is a refused rate.
// Read once the line is set up, so that the low-latency request still reached the driver. A
// rate that cannot be read back is not held against the adapter: the driver took the setting.
void require_bus_rate(sp_port* port)
{
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK) {
        return;
    }
    const long reported = serial_reported_rate(fd);
    if (reported >= 0 && !serial_rate_carries_bus(reported)) {
        fail_open(MSG_BAUD_REFUSED, "sp_set_baudrate",
                  "the driver reports " + std::to_string(reported) + " baud, not " +
                      std::to_string(SERIAL_BAUDRATE));
    }
}

enum class Drain { done, failed, timed_out };

// Interrupts the drain; the handler itself has nothing to do.
extern "C" void interrupt_drain(int /*signal*/) {}

// From SERIAL_DRAIN_LIMIT_MS on, a SIGALRM every 10 ms, not restarted, cuts short whatever the
// kernel is waiting for. The timer repeats, so a tick that lands just before the wait begins
// cannot leave it unbounded. Returns the handler it replaced, for stop_alarm.
struct sigaction start_alarm()
{
    struct sigaction tick {};
    tick.sa_handler = interrupt_drain;
    sigemptyset(&tick.sa_mask);
    struct sigaction previous {};
    sigaction(SIGALRM, &tick, &previous);
    constexpr long TICK_US = 10'000;
    const itimerval ticking{{0, TICK_US},
                            {SERIAL_DRAIN_LIMIT_MS / 1000, SERIAL_DRAIN_LIMIT_MS % 1000 * 1000L}};
    setitimer(ITIMER_REAL, &ticking, nullptr);
    return previous;
}

void stop_alarm(const struct sigaction& previous)
{
    const itimerval stopped{};
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
}

// sp_drain waits as long as the driver does and retries when a signal interrupts it, so an
// adapter whose endpoint stopped taking data would hold the run forever. The wait here is the
// driver's own (tcdrain), cut short by the alarm.
Drain drain_within_limit(sp_port* port)
{
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK) {
        return Drain::failed;
    }
    const struct sigaction previous = start_alarm();

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(SERIAL_DRAIN_LIMIT_MS);
    int result = 0;
    bool late = false;
    while ((result = tcdrain(fd)) != 0 && errno == EINTR) {
        late = std::chrono::steady_clock::now() >= deadline;
        if (late) {
            break;
        }
    }
    stop_alarm(previous);
    if (result == 0) {
        return Drain::done;
    }
    if (late) {
        // The frame has failed: its bytes are discarded where the driver can (cdc_acm in Linux
        // 6.12, not in 6.1), so that the close need not wait for them (serial_release).
        sp_flush(port, SP_BUF_OUTPUT);
        return Drain::timed_out;
    }
    return Drain::failed;
}

} // namespace

std::int32_t serial_open(SerialLink& link, const char* device)
{
    const std::string path = resolve_device_path(device);
    const sp_return found = sp_get_port_by_name(path.c_str(), &link.port);
    if (found != SP_OK) {
        fail_open(MSG_NO_DEVICE, "sp_get_port_by_name", lookup_reason(path, found));
    }
    const sp_return opened = sp_open(link.port, SP_MODE_READ_WRITE);
    if (opened != SP_OK) {
        fail_open(MSG_OPEN_FAILED, "sp_open", open_reason(opened));
    }
    const sp_return baud_set = sp_set_baudrate(link.port, SERIAL_BAUDRATE);
    if (baud_set != SP_OK) {
        fail_open(MSG_BAUD_REFUSED, "sp_set_baudrate", failure_reason(baud_set));
    }
    // The bus runs 8N1 on every adapter we know; a driver that refuses one of these is still
    // worth a try at the motor.
    sp_set_bits(link.port, 8);
    sp_set_parity(link.port, SP_PARITY_NONE);
    sp_set_stopbits(link.port, 1);
    sp_set_flowcontrol(link.port, SP_FLOWCONTROL_NONE);

    const std::int32_t adjusted = adjust_terminal(link.port, device);
    require_bus_rate(link.port);
    return adjusted;
}

std::int32_t serial_exchange(sp_port* port, std::span<const std::uint8_t> request,
                             std::span<std::uint8_t> answer, std::uint16_t timeout_ms)
{
    // The library returns byte counts through its sp_return type, whose enumerators end at 0: a
    // count held in that type is out of its range, so it is taken as a plain int at once.
    const int written = sp_nonblocking_write(port, request.data(), request.size());
    // The read timeout must count from the end of transmission, not from the write call. A
    // drain that fails otherwise (a device gone) is left to the read to report.
    const bool stuck = drain_within_limit(port) == Drain::timed_out;
    const bool short_write =
        static_cast<long long>(written) != static_cast<long long>(request.size());
    if (short_write || stuck) {
        std::puts("[Error] Error occurred during serial port write.");
        return short_write ? written : SP_ERR_FAIL;
    }
    return sp_blocking_read(port, answer.data(), answer.size(), timeout_ms);
}

std::int32_t serial_discard_input(sp_port* port)
{
    return sp_flush(port, SP_BUF_INPUT);
}

std::int32_t serial_send(sp_port* port, std::span<const std::uint8_t> bytes)
{
    sp_nonblocking_write(port, bytes.data(), bytes.size());
    return drain_within_limit(port) == Drain::done ? SP_OK : SP_ERR_FAIL;
}

void serial_release(SerialLink& link)
{
    if (link.port == nullptr) {
        return;
    }
    // The descriptor is gone after close() even when the alarm interrupted it.
    const struct sigaction previous = start_alarm();
    sp_close(link.port);
    stop_alarm(previous);
    sp_free_port(link.port);
    link.port = nullptr;
}

std::int32_t serial_close(SerialLink& link)
{
    const sp_return result = sp_close(link.port);
    if (result != SP_OK) {
        std::puts("[Error] Error occurred while closing the serial port.");
        return result;
    }
    sp_free_port(link.port);
    link.port = nullptr;
    return 0;
}

std::int32_t serial_disable_noflsh(int fd)
{
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) {
        std::perror("tcgetattr");
        return -1;
    }
    // libserialport leaves NOFLSH as the previous user of the device set it.
    attributes.c_lflag &= ~static_cast<tcflag_t>(NOFLSH);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        std::perror("tcsetattr");
        return -1;
    }
    return 0;
}

std::int32_t serial_set_low_latency(int fd)
{
    serial_struct settings{};
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0) {
        return -1;
    }
    settings.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &settings);
}
