#include "replay.hpp"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

constexpr std::int64_t NS_PER_US = 1000;

void schedule(Replay &replay, const std::vector<ReplayAnswer> &answers, std::int64_t now_ns)
{
    for (const ReplayAnswer &answer : answers)
        replay.due.push_back({now_ns + answer.delay_ns, replay.order++, answer.bytes});
}

std::string byte_text(std::uint8_t byte)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

} // namespace

Replay replay_prepare(const Recording &recording)
{
    Replay replay;
    std::optional<std::int64_t> write_us;
    for (const RecordedChunk &chunk : recording.chunks) {
        if (chunk.direction == Direction::tx) {
            replay.expected.insert(replay.expected.end(), chunk.bytes.begin(), chunk.bytes.end());
            replay.write_end.push_back(replay.expected.size());
            replay.answers.emplace_back();
            write_us = chunk.us;
            continue;
        }
        std::int64_t delay_us = chunk.us - write_us.value_or(0);
        ReplayAnswer answer{delay_us * NS_PER_US, chunk.bytes};
        if (write_us)
            replay.answers.back().push_back(std::move(answer));
        else
            replay.leading.push_back(std::move(answer));
    }
    return replay;
}

void replay_opened(Replay &replay, std::int64_t now_ns)
{
    if (replay.opened)
        return;
    replay.opened = true;
    schedule(replay, replay.leading, now_ns);
}

std::optional<std::string> replay_feed(Replay &replay, std::span<const std::uint8_t> bytes,
                                       std::int64_t now_ns)
{
    if (replay.departed)
        return std::nullopt;
    for (std::uint8_t byte : bytes) {
        if (replay.matched == replay.expected.size()) {
            replay.departed = true;
            return "the command sent more than the recording holds (from byte " +
                   std::to_string(replay.matched + 1) +
                   "): the recorded motor answers nothing more";
        }
        if (byte != replay.expected[replay.matched]) {
            replay.departed = true;
            return "the command sent " + byte_text(byte) + " where the recording has " +
                   byte_text(replay.expected[replay.matched]) + " (byte " +
                   std::to_string(replay.matched + 1) +
                   " it sent): the recorded motor answers nothing more";
        }
        ++replay.matched;
        while (replay.next_write < replay.write_end.size() &&
               replay.write_end[replay.next_write] == replay.matched)
            schedule(replay, replay.answers[replay.next_write++], now_ns);
    }
    return std::nullopt;
}

std::optional<std::int64_t> replay_next_due(const Replay &replay)
{
    if (replay.due.empty())
        return std::nullopt;
    return std::min_element(
               replay.due.begin(), replay.due.end(),
               [](const ReplayDue &a, const ReplayDue &b) { return a.due_ns < b.due_ns; })
        ->due_ns;
}

std::vector<Bytes> replay_take_due(Replay &replay, std::int64_t now_ns)
{
    std::sort(replay.due.begin(), replay.due.end(), [](const ReplayDue &a, const ReplayDue &b) {
        return a.due_ns != b.due_ns ? a.due_ns < b.due_ns : a.order < b.order;
    });
    std::vector<Bytes> taken;
    auto first_later = std::find_if(replay.due.begin(), replay.due.end(),
                                    [now_ns](const ReplayDue &due) { return due.due_ns > now_ns; });
    for (auto due = replay.due.begin(); due != first_later; ++due)
        taken.push_back(std::move(due->bytes));
    replay.due.erase(replay.due.begin(), first_later);
    return taken;
}

std::string replay_unfinished(const Replay &replay)
{
    if (replay.departed || replay.matched == replay.expected.size())
        return {};
    return "the recording holds " + std::to_string(replay.expected.size() - replay.matched) +
           " more bytes the command did not send";
}

} // namespace sim
