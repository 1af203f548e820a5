// usb-chip: plays one USB-to-serial adapter chip on a USB gadget (dummy_hcd in the VM tier), so
// that the kernel's own driver for that chip binds to it. The chip decodes the rate the driver
// programs into its registers and carries the bulk data to and from a pseudo-terminal, on whose
// other side motor-sim --serve plays the motors. Bytes sent at a rate the motors' UARTs cannot
// follow reach them as noise: they are dropped, and the motors stay silent.
//
//   usb-chip CHIP VID:PID BCD CLASS PRODUCT LINK
//   e.g. usb-chip CH340 1a86:7523 0264 00 "USB Serial" /run/bus
//
// The chip presents those ids, bcdDevice, class (hexadecimal) and product string: its row of
// chips.tsv. LINK becomes a symbolic link to the terminal. usb-chip logs one line per event on
// standard output ("rate=BAUD" whenever the driver programs a rate) and runs until SIGTERM or
// SIGINT, when the chip leaves the bus.
#include "adapter/chips.h"
#include "chip.h"
#include "gadget.h"
#include "serial/operator_texts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <mutex>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int USAGE = 64;
constexpr int FAILURE = 125;
constexpr std::size_t IN_PACKET = 64; // a full-speed packet; high speed takes it as a short one

struct Chip {
    const chip::Profile& profile;
    chip::Gadget gadget;
    chip::Registers registers;             // the control thread's alone
    std::atomic<std::uint32_t> rate{9600}; // what a chip runs at before its driver sets it
    int line = -1;                         // the pseudo-terminal's master side
    std::mutex log_lock;
};

void log_line(Chip& chip, const std::string& text)
{
    const std::lock_guard hold(chip.log_lock);
    std::printf("usb-chip %s %s\n", std::string(chip.profile.name).c_str(), text.c_str());
    std::fflush(stdout);
}

bool carries(const Chip& chip)
{
    return serial_rate_carries_bus(chip.rate.load());
}

void handle_setup(Chip& chip, const usb_ctrlrequest& request)
{
    const chip::Setup setup{request.bRequestType, request.bRequest, le16toh(request.wValue),
                            le16toh(request.wIndex), le16toh(request.wLength)};
    const int ep0 = chip.gadget.ep0;
    if ((setup.type & USB_DIR_IN) != 0) {
        const std::vector<std::uint8_t> reply = chip::answer(chip.profile, setup, chip.registers);
        if (write(ep0, reply.data(), reply.size()) < 0) {
            log_line(chip, std::string("ep0 write: ") + std::strerror(errno));
        }
        return;
    }
    std::vector<std::uint8_t> data(setup.length);
    const ssize_t got = read(ep0, data.data(), data.size());
    if (got < 0) {
        log_line(chip, std::string("ep0 read: ") + std::strerror(errno));
        return;
    }
    data.resize(static_cast<std::size_t>(got));
    const std::optional<std::uint32_t> rate =
        chip::apply(chip.profile, setup, data, chip.registers);
    if (rate) {
        chip.rate = *rate;
        log_line(chip, "rate=" + std::to_string(*rate));
    }
}

void serve_control(Chip& chip)
{
    std::array<usb_functionfs_event, 4> events{};
    for (;;) {
        const ssize_t got = read(chip.gadget.ep0, events.data(), sizeof events);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_line(chip, std::string("ep0: ") + std::strerror(errno));
            return;
        }
        const auto count = static_cast<std::size_t>(got) / sizeof(usb_functionfs_event);
        for (std::size_t i = 0; i < count; ++i) {
            if (events[i].type == FUNCTIONFS_SETUP) {
                handle_setup(chip, events[i].u.setup);
            } else if (events[i].type == FUNCTIONFS_ENABLE ||
                       events[i].type == FUNCTIONFS_DISABLE) {
                log_line(chip, events[i].type == FUNCTIONFS_ENABLE ? "enabled" : "disabled");
            }
        }
    }
}

// Host to motors: the driver's bulk OUT data, onto the line when the rate carries it.
void carry_out(Chip& chip)
{
    std::vector<std::uint8_t> buffer(512);
    for (;;) {
        const ssize_t got = read(chip.gadget.bulk_out, buffer.data(), buffer.size());
        if (got <= 0) {
            // Not enabled yet, or the host went away for a moment: wait for it to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const bool clean = carries(chip);
        log_line(chip, "out bytes=" + std::to_string(got) + " rate=" +
                           std::to_string(chip.rate.load()) + (clean ? " carried" : " noise"));
        if (clean && write(chip.line, buffer.data(), static_cast<std::size_t>(got)) != got) {
            log_line(chip, std::string("line write: ") + std::strerror(errno));
        }
    }
}

// Motors to host: what the motors send, in bulk IN packets with the chip's own header.
void carry_in(Chip& chip)
{
    const auto header = chip::in_packet_header(chip.profile);
    std::vector<std::uint8_t> buffer(IN_PACKET - header.size());
    std::vector<std::uint8_t> packet;
    for (;;) {
        const ssize_t got = read(chip.line, buffer.data(), buffer.size());
        if (got <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (!carries(chip)) {
            continue; // answers at the motors' rate are noise to a chip set to another
        }
        packet.assign(header.begin(), header.end());
        packet.insert(packet.end(), buffer.begin(), buffer.begin() + got);
        if (write(chip.gadget.bulk_in, packet.data(), packet.size()) < 0) {
            log_line(chip, std::string("bulk in: ") + std::strerror(errno));
        }
    }
}

std::optional<chip::Descriptors> descriptors(const std::string& ids, const char* release,
                                             const char* device_class, const char* product)
{
    const std::size_t colon = ids.find(':');
    const auto vendor = parse_hex_id(ids.substr(0, colon));
    const auto id = colon != std::string::npos ? parse_hex_id(ids.substr(colon + 1)) : std::nullopt;
    const auto bcd = parse_hex_id(release);
    const auto type = parse_hex_id(device_class);
    if (!vendor || !id || !bcd || !type || *type > 0xff) {
        return std::nullopt;
    }
    return chip::Descriptors{*vendor, *id, *bcd, static_cast<std::uint8_t>(*type), product};
}

bool open_line(Chip& chip, const char* link, std::string& error)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    std::array<char, 64> name{};
    if (ptsname_r(master, name.data(), name.size()) != 0) {
        error = std::string("ptsname_r: ") + std::strerror(errno);
        return false;
    }
    // Held open so that the master never reads end of file between motor-sim's runs, and raw so
    // that nothing is echoed before motor-sim sets the line up.
    const int slave = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slave < 0 || tcgetattr(slave, &settings) != 0) {
        error = std::string("open ") + name.data() + ": " + std::strerror(errno);
        return false;
    }
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    unlink(link);
    if (symlink(name.data(), link) != 0) {
        error = std::string("symlink ") + link + ": " + std::strerror(errno);
        return false;
    }
    chip.line = master;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const chip::Profile* profile = argc == 7 ? chip::find_profile(argv[1]) : nullptr;
    const std::optional<chip::Descriptors> device =
        profile != nullptr ? descriptors(argv[2], argv[3], argv[4], argv[5]) : std::nullopt;
    if (!device) {
        std::fputs("usage: usb-chip CHIP VID:PID BCD CLASS PRODUCT LINK (CHIP as in chips.tsv)\n",
                   stderr);
        return USAGE;
    }
    // Signals are taken by sigwait below, never by the carrying threads.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    Chip chip{*profile, {}, {}, {}, -1, {}};
    std::string error;
    std::string udc;
    if (!open_line(chip, argv[6], error) ||
        !chip::gadget_create(*profile, *device, chip.gadget, error)) {
        std::fprintf(stderr, "usb-chip: %s\n", error.c_str());
        return FAILURE;
    }
    std::thread control(serve_control, std::ref(chip));
    std::thread out(carry_out, std::ref(chip));
    std::thread in(carry_in, std::ref(chip));
    if (!chip::gadget_bind(chip.gadget, udc, error)) {
        std::fprintf(stderr, "usb-chip: %s\n", error.c_str());
        std::_Exit(FAILURE);
    }
    log_line(chip, "bound udc=" + udc);
    int signal = 0;
    sigwait(&stops, &signal);
    // Unplugged by ending: the threads' blocking reads of the function's files are interrupted,
    // and the last close of ep0 takes the gadget off the UDC. Unbinding first, with those reads
    // still waiting, can leave the exit stuck in the kernel.
    log_line(chip, "unplugged");
    std::_Exit(0);
}
