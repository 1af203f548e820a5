// renumber-doctor's command line: list the serial adapters, or check one device for renumber.
#pragma once

#include "doctor/inventory.h"

#include <string>
#include <vector>

inline constexpr int EXIT_BAD_USAGE = 64;

struct DoctorRun {
    std::string out;
    std::string err;
    int status = 0;
};

/// Runs renumber-doctor on machine with the arguments that follow the program name.
DoctorRun doctor_main(const std::vector<std::string>& args, const Machine& machine);
