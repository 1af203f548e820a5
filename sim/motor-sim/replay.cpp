#include "replay.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace sim {
namespace {

constexpr std::int64_t NS_PER_US = 1000;
// Above every errno Linux defines.
constexpr int ERRNO_MAX = 200;

void schedule(Replay &replay, const std::vector<ReplayAnswer> &answers, std::int64_t now_ns)
{
    for (const ReplayAnswer &answer : answers)
        replay.due.push_back(
            {now_ns + answer.delay_ns, replay.order++, answer.bytes, answer.hangup});
}

std::string byte_text(std::uint8_t byte)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::size_t write_of_byte(const Replay &replay, std::size_t byte)
{
    auto end = std::upper_bound(replay.write_end.begin(), replay.write_end.end(), byte);
    return static_cast<std::size_t>(end - replay.write_end.begin());
}

void depart(Replay &replay, std::size_t line, std::string what)
{
    if (!replay.departure)
        replay.departure = ReplayDeparture{line, std::move(what)};
}

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

std::string base_name(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The replayed program (by name, without its folder) and its arguments end the recorded
// command line: a run recorded through a wrapper (the tap over motor-sim) matches the
// wrapped command.
bool same_command(const std::string &recorded, const std::vector<std::string> &command)
{
    std::vector<std::string> words = words_of(recorded);
    if (command.empty() || words.size() < command.size())
        return false;
    std::size_t offset = words.size() - command.size();
    if (base_name(words[offset]) != base_name(command[0]))
        return false;
    return std::equal(command.begin() + 1, command.end(),
                      words.begin() + static_cast<std::ptrdiff_t>(offset) + 1);
}

} // namespace

int errno_from_name(const std::string &name)
{
    for (int error = 1; error < ERRNO_MAX; ++error) {
        const char *known = strerrorname_np(error);
        if (known != nullptr && name == known)
            return error;
    }
    return 0;
}

Replay replay_prepare(const Recording &recording)
{
    Replay replay;
    std::optional<std::int64_t> write_us;
    std::int64_t last_delay_us = 0; // the latest answer's, for flushed bytes
    bool last_write_failed = false;
    for (const RecordedChunk &chunk : recording.chunks) {
        replay.last_line = std::max(replay.last_line, chunk.line);
        if (chunk.direction == Direction::tx) {
            replay.expected.insert(replay.expected.end(), chunk.bytes.begin(), chunk.bytes.end());
            replay.write_end.push_back(replay.expected.size());
            replay.write_line.push_back(chunk.line);
            replay.answers.emplace_back();
            write_us = chunk.us;
            last_delay_us = 0;
            last_write_failed = false;
            continue;
        }
        if (chunk.direction == Direction::fail) {
            int error = errno_from_name(chunk.error);
            if ((chunk.call == "write" || chunk.call == "drain") && error != 0)
                replay.failures.push_back(
                    {replay.write_end.size(), chunk.call, error, last_write_failed});
            last_write_failed = last_write_failed || chunk.call == "write";
            continue;
        }
        if (chunk.direction == Direction::flush && chunk.bytes.empty())
            continue;
        std::int64_t delay_us = chunk.us - write_us.value_or(0);
        // Flushed bytes were waiting before the flush: they come with the read before them.
        if (chunk.direction == Direction::flush)
            delay_us = last_delay_us;
        last_delay_us = delay_us;
        ReplayAnswer answer{delay_us * NS_PER_US, chunk.bytes, chunk.direction == Direction::eof};
        if (write_us)
            replay.answers.back().push_back(std::move(answer));
        else
            replay.leading.push_back(std::move(answer));
    }
    replay.last_line = std::max({replay.last_line, recording.exit_line, recording.command_line});
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
    if (replay.departure)
        return std::nullopt;
    for (std::uint8_t byte : bytes) {
        if (replay.matched == replay.expected.size()) {
            depart(replay, replay.last_line,
                   "the command sent more than the recording holds (from byte " +
                       std::to_string(replay.matched + 1) + ")");
            return replay.departure->what + ": the recorded motor answers nothing more";
        }
        if (byte != replay.expected[replay.matched]) {
            std::size_t write = write_of_byte(replay, replay.matched);
            depart(replay, replay.write_line[write],
                   "the command sent " + byte_text(byte) + " where the recording has " +
                       byte_text(replay.expected[replay.matched]) + " (byte " +
                       std::to_string(replay.matched + 1) + " it sent)");
            return replay.departure->what + ": the recorded motor answers nothing more";
        }
        ++replay.matched;
        while (replay.next_write < replay.write_end.size() &&
               replay.write_end[replay.next_write] == replay.matched)
            schedule(replay, replay.answers[replay.next_write++], now_ns);
    }
    return std::nullopt;
}

int replay_call_error(Replay &replay, const std::string &call, std::size_t written)
{
    // The recorded writes the command has made in full.
    auto end = std::find(replay.write_end.begin(), replay.write_end.end(), written);
    if (replay.departure || (written != 0 && end == replay.write_end.end()))
        return 0;
    std::size_t writes =
        written == 0 ? 0 : static_cast<std::size_t>(end - replay.write_end.begin()) + 1;
    const bool write = call == "write";
    for (const ReplayFailure &failure : replay.failures)
        if (failure.call == call && failure.writes_before == writes &&
            (write || failure.after_failed_write == replay.write_failed)) {
            replay.write_failed = replay.write_failed || write;
            return failure.error;
        }
    if (write)
        replay.write_failed = false;
    return 0;
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

std::vector<ReplayDue> replay_take_due(Replay &replay, std::int64_t now_ns)
{
    std::sort(replay.due.begin(), replay.due.end(), [](const ReplayDue &a, const ReplayDue &b) {
        return a.due_ns != b.due_ns ? a.due_ns < b.due_ns : a.order < b.order;
    });
    auto first_later = std::find_if(replay.due.begin(), replay.due.end(),
                                    [now_ns](const ReplayDue &due) { return due.due_ns > now_ns; });
    std::vector<ReplayDue> taken(std::make_move_iterator(replay.due.begin()),
                                 std::make_move_iterator(first_later));
    replay.due.erase(replay.due.begin(), first_later);
    return taken;
}

std::string replay_unfinished(const Replay &replay)
{
    if (replay.departure || replay.matched == replay.expected.size())
        return {};
    return "the recording holds " + std::to_string(replay.expected.size() - replay.matched) +
           " more bytes the command did not send";
}

std::optional<ReplayDeparture> replay_verdict(const Replay &replay, const Recording &recording,
                                              const std::vector<std::string> &command,
                                              int exit_status)
{
    if (!recording.command.empty() && !same_command(recording.command, command)) {
        std::string ran;
        for (const std::string &word : command)
            ran += (ran.empty() ? "" : " ") + word;
        return ReplayDeparture{recording.command_line, "the command line differs: '" + ran +
                                                           "', recorded '" + recording.command +
                                                           "'"};
    }
    if (replay.departure)
        return replay.departure;
    if (replay.matched < replay.expected.size())
        return ReplayDeparture{replay.write_line[write_of_byte(replay, replay.matched)],
                               replay_unfinished(replay)};
    if (recording.exit_status && *recording.exit_status != exit_status)
        return ReplayDeparture{recording.exit_line, "exit status " + std::to_string(exit_status) +
                                                        ", the recording has " +
                                                        std::to_string(*recording.exit_status)};
    return std::nullopt;
}

} // namespace sim
