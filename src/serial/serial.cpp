#include "serial/serial.h"

#include "serial/drain.h"
#include "serial/line_rate.h"

#include "adapter/port.h"

#include <libserialport.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Who holds the lock on the node: ": minicom, pid 1234", or nothing when /proc does not say.
std::string lock_holder_names(const std::string& path)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) {
        return "";
    }
    const SystemRoot root;
    std::string names;
    for (const int pid : lock_holders(root, node)) {
        const std::optional<std::string> command =
            read_attribute(root, "/proc/" + std::to_string(pid) + "/comm");
        names += (names.empty() ? ": " : "; ") + command.value_or("a process") + ", pid " +
                 std::to_string(pid);
    }
    return names;
}

// libserialport 0.1.2 and later lock the port with flock(LOCK_EX | LOCK_NB) right after opening
// it; EWOULDBLOCK from the open means another program holds that lock, which /proc/locks names.
std::string open_reason(sp_return code, const std::string& path)
{
    const bool locked = code == SP_ERR_FAIL && sp_last_error_code() == EWOULDBLOCK;
    std::string reason = failure_reason(code);
    if (locked) {
        reason += " (the port is locked by another program" + lock_holder_names(path) + ")";
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

// Some drivers run another rate without a word and keep 4,000,000 in the terminal settings
// (ch341 clamps to 3,000,000, an 8250 whose clock divides badly runs off by more than a UART
// tolerates); the read-back cannot see it, but what the kernel says of the port tells it. Where
// /sys cannot be read, nothing is held against the adapter.
void require_driver_rate(const std::string& resolved)
{
    constexpr std::string_view DEVICES = "/dev/";
    if (!resolved.starts_with(DEVICES)) {
        return;
    }
    const std::optional<SerialAdapter> port = describe_port(SystemRoot{}, resolved.substr(5));
    if (!port) {
        return;
    }
    const LineAtBusRate line = line_at_bus_rate(*port);
    if (line.kind != BusRate::unreported) {
        return;
    }
    const std::string part = port->ids ? "a " + chip_label(port->chip, *port->ids, port->driver)
                                       : "a native UART clocked at " +
                                             std::to_string(port->uart_clock.value_or(0)) +
                                             " Hz (driver " + port->driver + ")";
    fail_open(MSG_BAUD_REFUSED, "sp_set_baudrate",
              "the adapter, " + part + ", runs the line at " + std::to_string(line.line_baud) +
                  " baud, not " + std::to_string(SERIAL_BAUDRATE) +
                  ", though the terminal settings read " + std::to_string(SERIAL_BAUDRATE));
}

// sp_drain waits as long as the driver does and retries when a signal interrupts it, so an
// adapter whose endpoint stopped taking data would hold the run forever: the wait here is bounded
// (drain.h).
Drain drain_or_discard(sp_port* port, int fd)
{
    const Drain result = drain_within_limit(fd);
    if (result == Drain::timed_out) {
        // The frame has failed: its bytes are discarded where the driver can (cdc_acm in Linux
        // 6.12, not in 6.1), so that the close need not wait for them (serial_release).
        sp_flush(port, SP_BUF_OUTPUT);
    }
    return result;
}

// A device that hung up (unplugged, reset) reads end of file and polls POLLHUP for good.
bool has_hung_up(int fd)
{
    pollfd watch{fd, POLLIN, 0};
    return poll(&watch, 1, 0) == 1 && (watch.revents & (POLLHUP | POLLERR)) != 0;
}

// How much of the wait is left, in poll's terms, rounded up so that the wait never ends early:
// -1 without limit.
int remaining_ms(std::chrono::steady_clock::time_point deadline, std::uint16_t timeout_ms)
{
    if (timeout_ms == 0) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

enum class Arrival { input, hang_up, none };

// Waits until input arrives, the line hangs up, or the deadline passes.
Arrival wait_for_input(int fd, std::chrono::steady_clock::time_point deadline,
                       std::uint16_t timeout_ms)
{
    for (;;) {
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, remaining_ms(deadline, timeout_ms));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (ready == 0 && remaining_ms(deadline, timeout_ms) == 0)) {
            return Arrival::none; // the deadline passed, or the descriptor cannot be polled
        }
        if (ready > 0) {
            return (watch.revents & (POLLHUP | POLLERR)) != 0 ? Arrival::hang_up : Arrival::input;
        }
    }
}

// What came back after the frame; while it matches the start of the frame it may still be the
// adapter's echo of it.
struct Heard {
    std::vector<std::uint8_t> bytes;
    bool echo_ruled_out = false;
};

// Bytes beyond the answer must stay waiting for the next exchange. A motor's answer never begins
// as the frame does, so one byte tells an answer from an echo; only once it matches is the rest
// of the frame taken.
std::size_t bytes_wanted(const Heard& heard, std::size_t frame_size, std::size_t capacity)
{
    if (heard.echo_ruled_out) {
        return capacity - heard.bytes.size();
    }
    return heard.bytes.empty() ? 1 : frame_size - heard.bytes.size();
}

void hear(Heard& heard, std::span<const std::uint8_t> request,
          std::span<const std::uint8_t> arrived)
{
    heard.bytes.insert(heard.bytes.end(), arrived.begin(), arrived.end());
    if (heard.echo_ruled_out) {
        return;
    }
    const std::size_t compared = std::min(heard.bytes.size(), request.size());
    if (!std::equal(request.begin(), request.begin() + static_cast<long>(compared),
                    heard.bytes.begin())) {
        heard.echo_ruled_out = true;
    } else if (heard.bytes.size() == request.size()) {
        heard.bytes.clear(); // the whole frame came back: the adapter's echo
        heard.echo_ruled_out = true;
    }
}

// The answer to request, up to answer.size() bytes within timeout_ms. An adapter whose receiver
// stays on while it transmits hears the frame itself first: bytes identical to request, arriving
// first, are that echo and are skipped, and the wait goes on within the same deadline. An echo
// that departs from the frame is an answer like any other. A hang-up ends the wait at once.
// Returns the count read, or a negative library code.
std::int32_t read_answer(sp_port* port, int fd, std::span<const std::uint8_t> request,
                         std::span<std::uint8_t> answer, std::uint16_t timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Heard heard{{}, request.empty()};
    while (heard.bytes.size() < answer.size() || !heard.echo_ruled_out) {
        const Arrival arrival = wait_for_input(fd, deadline, timeout_ms);
        if (arrival == Arrival::none) {
            break;
        }
        std::vector<std::uint8_t> chunk(bytes_wanted(heard, request.size(), answer.size()));
        const int got = sp_nonblocking_read(port, chunk.data(), chunk.size());
        if (got < 0) {
            return got;
        }
        if (got == 0 && arrival == Arrival::hang_up) {
            break; // end of file: the adapter is gone
        }
        hear(heard, request, std::span(chunk).first(static_cast<std::size_t>(got)));
    }
    // An echo cut short, or one departing only in its last byte past the answer's size, is kept
    // as far as the answer holds.
    const std::size_t kept = std::min(heard.bytes.size(), answer.size());
    std::copy_n(heard.bytes.begin(), kept, answer.begin());
    return static_cast<std::int32_t>(kept);
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
        fail_open(MSG_OPEN_FAILED, "sp_open", open_reason(opened, path));
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
    require_driver_rate(path);
    return adjusted;
}

std::int32_t serial_exchange(sp_port* port, std::span<const std::uint8_t> request,
                             std::span<std::uint8_t> answer, std::uint16_t timeout_ms)
{
    int fd = -1;
    const sp_return handle = sp_get_port_handle(port, &fd);
    if (handle != SP_OK) {
        std::puts("[Error] Error occurred during serial port write.");
        return handle;
    }
    // The library returns byte counts through its sp_return type, whose enumerators end at 0: a
    // count held in that type is out of its range, so it is taken as a plain int at once.
    const int written = sp_nonblocking_write(port, request.data(), request.size());
    // The read timeout must count from the end of transmission, not from the write call. A
    // drain that fails otherwise (a device gone) is left to the read, which sees the hang-up.
    const bool stuck = drain_or_discard(port, fd) == Drain::timed_out;
    const bool short_write =
        static_cast<long long>(written) != static_cast<long long>(request.size());
    if (short_write || stuck) {
        std::puts("[Error] Error occurred during serial port write.");
        return short_write ? written : SP_ERR_FAIL;
    }
    return read_answer(port, fd, request, answer, timeout_ms);
}

bool serial_hung_up(sp_port* port)
{
    int fd = -1;
    return sp_get_port_handle(port, &fd) == SP_OK && has_hung_up(fd);
}

std::int32_t serial_discard_input(sp_port* port)
{
    return sp_flush(port, SP_BUF_INPUT);
}

std::int32_t serial_send(sp_port* port, std::span<const std::uint8_t> bytes)
{
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK || fd < 0) {
        return sp_drain(port); // no port open: the library's own code, at once
    }
    sp_nonblocking_write(port, bytes.data(), bytes.size());
    return drain_or_discard(port, fd) == Drain::done ? SP_OK : SP_ERR_FAIL;
}

void serial_release(SerialLink& link)
{
    if (link.port == nullptr) {
        return;
    }
    // The descriptor is gone after close() even when the bound interrupted it.
    WaitBound bound = start_bound();
    sp_close(link.port);
    stop_bound(bound);
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
