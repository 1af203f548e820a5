#include "doctor/doctor.h"

#include <cstdio>

int main(int argc, char** argv)
{
    const DoctorRun run =
        doctor_main(std::vector<std::string>(argv + 1, argv + argc), live_machine());
    std::fputs(run.out.c_str(), stdout);
    std::fputs(run.err.c_str(), stderr);
    return run.status;
}
