#include "frames.hpp"

#include "crc16.hpp"

namespace sim {
namespace {

constexpr std::uint8_t CONTROL_HEAD_0 = 0xFE;
constexpr std::uint8_t CONTROL_HEAD_1 = 0xEE;
constexpr std::uint8_t SHORT_HEAD = 0xFB;

void report_unknown(FrameSplitter &splitter, std::vector<Frame> &out)
{
    if (splitter.unknown.empty())
        return;
    out.push_back({FrameKind::unknown, std::move(splitter.unknown)});
    splitter.unknown.clear();
}

std::size_t expected_size(const Bytes &partial)
{
    return partial.front() == SHORT_HEAD ? SHORT_FRAME_SIZE : CONTROL_FRAME_SIZE;
}

void feed_byte(FrameSplitter &splitter, std::uint8_t byte, std::vector<Frame> &out)
{
    Bytes &partial = splitter.partial;
    if (partial.size() == 1 && partial.front() == CONTROL_HEAD_0) {
        if (byte == CONTROL_HEAD_1) {
            report_unknown(splitter, out);
            partial.push_back(byte);
            return;
        }
        // A lone FE is an unknown byte; this byte starts afresh.
        splitter.unknown.push_back(CONTROL_HEAD_0);
        partial.clear();
    }
    if (partial.empty()) {
        if (byte == CONTROL_HEAD_0) {
            partial.push_back(byte);
        } else if (byte == SHORT_HEAD) {
            report_unknown(splitter, out);
            partial.push_back(byte);
        } else {
            splitter.unknown.push_back(byte);
        }
        return;
    }
    partial.push_back(byte);
    if (partial.size() == expected_size(partial)) {
        FrameKind kind =
            partial.front() == SHORT_HEAD ? FrameKind::short_command : FrameKind::control;
        out.push_back({kind, std::move(partial)});
        partial.clear();
    }
}

} // namespace

void splitter_feed(FrameSplitter &splitter, std::span<const std::uint8_t> bytes,
                   std::vector<Frame> &out)
{
    for (std::uint8_t byte : bytes)
        feed_byte(splitter, byte, out);
    if (splitter.partial.empty())
        report_unknown(splitter, out);
}

void splitter_finish(FrameSplitter &splitter, std::vector<Frame> &out)
{
    splitter.unknown.insert(splitter.unknown.end(), splitter.partial.begin(),
                            splitter.partial.end());
    splitter.partial.clear();
    report_unknown(splitter, out);
}

bool control_checksum_good(std::span<const std::uint8_t> frame)
{
    if (frame.size() != CONTROL_FRAME_SIZE)
        return false;
    std::uint16_t crc = crc16_kermit(frame.first(15));
    return frame[15] == (crc & 0xFF) && frame[16] == (crc >> 8);
}

Bytes control_answer(std::uint8_t id, std::uint8_t status)
{
    Bytes answer(CONTROL_ANSWER_SIZE, 0);
    answer[0] = 0xFD;
    answer[1] = 0xDD;
    answer[2] = static_cast<std::uint8_t>((id & 0x0F) | (status & 0x07) << 4);
    std::uint16_t crc = crc16_kermit(std::span(answer).first(14));
    answer[14] = static_cast<std::uint8_t>(crc & 0xFF);
    answer[15] = static_cast<std::uint8_t>(crc >> 8);
    return answer;
}

} // namespace sim
