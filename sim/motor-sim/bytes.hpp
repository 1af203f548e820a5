// Byte strings and their hexadecimal spellings.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// Reads an even number of hexadecimal digits (either case, no separators), at least
// one byte. False on anything else.
bool hex_parse(std::string_view text, Bytes &out);

// "FEEE00": upper case, no spaces (the lines trace).
std::string hex_compact(std::span<const std::uint8_t> bytes);

// "FE EE 00": upper case, spaced (the human trace).
std::string hex_spaced(std::span<const std::uint8_t> bytes);

// Like hex_spaced, but a frame whose middle bytes are all zero is shortened to its
// first four and last two bytes around an ellipsis.
std::string hex_brief(std::span<const std::uint8_t> bytes);

} // namespace sim
