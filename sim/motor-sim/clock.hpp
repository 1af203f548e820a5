// Monotonic time for the trace and the motors' delays.
#pragma once

#include <cstdint>
#include <ctime>

namespace sim {

constexpr std::int64_t NS_PER_MS = 1'000'000;

inline std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace sim
