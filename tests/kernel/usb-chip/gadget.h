// The chip's USB face: a configfs gadget with one FunctionFS function on the machine's (dummy)
// UDC, so that the kernel's own driver for the chip binds to it on the host side.
#pragma once

#include "chip.h"

#include <string>

namespace chip {

struct Gadget {
    std::string config_dir; ///< /sys/kernel/config/usb_gadget/NAME
    std::string ffs_dir;    ///< where the function's FunctionFS is mounted
    int ep0 = -1;
    int bulk_in = -1;
    int bulk_out = -1;
    int interrupt_in = -1; ///< -1 for parts without one
};

/// Builds the gadget presenting device and writes the function's descriptors, leaving it unbound.
bool gadget_create(const Profile& chip, const Descriptors& device, Gadget& gadget,
                   std::string& error);

/// Binds the gadget to the first UDC; the host then enumerates it. Returns the UDC's name.
bool gadget_bind(const Gadget& gadget, std::string& udc, std::string& error);

} // namespace chip
