// Strict decimal numbers for the command line.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>

namespace sim {

// The whole text must be a decimal number from 0 to max.
inline bool number_parse(std::string_view text, std::uint64_t max, std::uint64_t &out)
{
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
        return false;
    out = value;
    return true;
}

} // namespace sim
