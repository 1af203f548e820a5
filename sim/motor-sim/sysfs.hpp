// The simulated device's sysfs: the entries the kernel would show under /sys for a tty of the
// device's name, laid out in a folder of motor-sim's own that the adapter layer answers /sys
// paths from (the sysfs field of MOTOR_SIM). Programs that ask the kernel which driver serves the
// port, and which chip is behind it, find the adapter the options describe.
#pragma once

#include "options.hpp"

#include <string>

namespace sim {

struct Sysfs {
    std::string folder;        // stands for /; holds sys/class/tty/NAME and what it leads to
    std::string class_link;    // sys/class/tty/NAME in the folder
    std::string latency_timer; // the FTDI latency timer's file, "" for other drivers
};

// Lays the device's sysfs out in a fresh folder under TMPDIR (or /tmp). On failure, error
// names the call.
bool sysfs_create(const Options &options, Sysfs &sysfs, std::string &error);

// The latency timer after a low-latency request, as ftdi_sio sets it (1 ms).
void sysfs_note_low_latency(const Sysfs &sysfs);

// The bus hung up: the tty leaves sysfs, as an unplugged adapter's does.
void sysfs_note_hangup(const Sysfs &sysfs);

// Removes the folder and everything in it.
void sysfs_remove(Sysfs &sysfs);

} // namespace sim
