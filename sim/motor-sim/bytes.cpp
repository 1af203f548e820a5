#include "bytes.hpp"

#include <algorithm>

namespace sim {
namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr char DIGITS[] = "0123456789ABCDEF";

void append_byte(std::string &out, std::uint8_t byte)
{
    out.push_back(DIGITS[byte >> 4]);
    out.push_back(DIGITS[byte & 0x0F]);
}

} // namespace

bool hex_parse(std::string_view text, Bytes &out)
{
    if (text.empty() || text.size() % 2 != 0)
        return false;
    Bytes bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = hex_digit(text[i]);
        int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    out = std::move(bytes);
    return true;
}

std::string hex_compact(std::span<const std::uint8_t> bytes)
{
    std::string out;
    for (std::uint8_t byte : bytes)
        append_byte(out, byte);
    return out;
}

std::string hex_spaced(std::span<const std::uint8_t> bytes)
{
    std::string out;
    for (std::uint8_t byte : bytes) {
        if (!out.empty())
            out.push_back(' ');
        append_byte(out, byte);
    }
    return out;
}

std::string hex_brief(std::span<const std::uint8_t> bytes)
{
    constexpr std::size_t head = 4;
    constexpr std::size_t tail = 2;
    if (bytes.size() < head + tail + 4)
        return hex_spaced(bytes);
    auto middle = bytes.subspan(head, bytes.size() - head - tail);
    if (!std::all_of(middle.begin(), middle.end(), [](std::uint8_t b) { return b == 0; }))
        return hex_spaced(bytes);
    return hex_spaced(bytes.first(head)) + " \u2026 " + hex_spaced(bytes.last(tail));
}

} // namespace sim
