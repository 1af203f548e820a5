#include "collision.hpp"

#include <algorithm>

namespace sim {

Bytes collide(const std::vector<Bytes> &answers)
{
    std::size_t longest = 0;
    for (const Bytes &answer : answers)
        longest = std::max(longest, answer.size());
    Bytes line(longest, 0xFF);
    for (const Bytes &answer : answers)
        for (std::size_t i = 0; i < answer.size(); ++i)
            line[i] &= answer[i];
    return line;
}

} // namespace sim
