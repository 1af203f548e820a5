#include "replay.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
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

// The recorded write that holds byte (counted from 0); also how many recorded writes were made
// in full when `byte` bytes were written.
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

std::string joined(std::vector<std::string>::const_iterator first,
                   std::vector<std::string>::const_iterator last)
{
    std::string text;
    for (auto word = first; word != last; ++word)
        text += (text.empty() ? "" : " ") + *word;
    return text;
}

// The replayed command's arguments end the recorded command line: the program's path is not
// compared (an installed renumber and a build tree's are the same program), and a run
// recorded through a wrapper (the tap over motor-sim) matches the wrapped command's.
bool same_arguments(const std::string &recorded, const std::vector<std::string> &command)
{
    std::vector<std::string> words = words_of(recorded);
    if (command.size() <= 1)
        return words.size() == 1 || (words.size() >= 2 && words[words.size() - 2] == "--");
    std::string arguments = joined(command.begin() + 1, command.end());
    std::string all = joined(words.begin(), words.end());
    return all.size() > arguments.size() + 1 && all.ends_with(" " + arguments);
}

std::string ms_text(std::int64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::int64_t gap_tolerance_us(std::int64_t recorded_us)
{
    return GAP_TOLERANCE_US + recorded_us * GAP_TOLERANCE_PER_MILLE / 1000;
}

// Output as a departure quotes it: escaped as the recording has it, cut to a readable length.
std::string output_quote(std::string_view text)
{
    constexpr std::size_t LIMIT = 80;
    std::string escaped = recording_escape(text);
    return "'" + (escaped.size() > LIMIT ? escaped.substr(0, LIMIT) + "..." : escaped) + "'";
}

std::optional<ReplayDeparture> arguments_differ(const Recording &recording, const ReplayedRun &run)
{
    if (recording.command_line == 0 || same_arguments(recording.command, run.command))
        return std::nullopt;
    std::string arguments =
        run.command.empty() ? "" : joined(run.command.begin() + 1, run.command.end());
    return ReplayDeparture{recording.command_line, "the arguments differ: '" + arguments +
                                                       "', the recorded command is '" +
                                                       recording.command + "'"};
}

std::optional<ReplayDeparture> device_differs(const Replay &replay, const Recording &recording,
                                              const ReplayedRun &run)
{
    if (!replay.foreign_device.empty())
        return ReplayDeparture{recording.device_line,
                               "the command opened " + replay.foreign_device +
                                   ", a serial device other than the simulated " + run.device +
                                   ": the open was refused"};
    if (!replay.opened && !recording.chunks.empty())
        return ReplayDeparture{recording.device_line,
                               "the command never opened " + run.device +
                                   ", where the recording has it write and read"};
    return std::nullopt;
}

std::optional<ReplayDeparture> bytes_differ(const Replay &replay)
{
    if (replay.departure)
        return replay.departure;
    if (replay.matched < replay.expected.size())
        return ReplayDeparture{replay.write_line[write_of_byte(replay, replay.matched)],
                               replay_unfinished(replay)};
    return std::nullopt;
}

bool gap_off(std::int64_t recorded_us, std::int64_t replayed_us)
{
    return std::abs(replayed_us - recorded_us) > gap_tolerance_us(recorded_us);
}

std::optional<ReplayDeparture> gaps_differ(const Replay &replay, const Recording &recording,
                                           const ReplayedRun &run)
{
    const auto &started = replay.write_started_ns;
    for (std::size_t i = 1; i < started.size(); ++i) {
        if (!started[i] || !started[i - 1])
            continue;
        std::int64_t recorded = replay.write_us[i] - replay.write_us[i - 1];
        std::int64_t replayed = (*started[i] - *started[i - 1]) / NS_PER_US;
        if (gap_off(recorded, replayed))
            return ReplayDeparture{
                replay.write_line[i],
                "the recording has this write " + ms_text(recorded) +
                    " after the one before, the command made it " + ms_text(replayed) + " after (" +
                    ms_text(gap_tolerance_us(recorded)) + " either way allowed)"};
    }
    if (started.empty() || !started.back())
        return std::nullopt;
    // The last wait (for an answer) ends where the command closes the device; what it does after
    // (renumber reads the machine to explain a failure) is not the line's, and its time is the
    // machine's. A recording without a close is judged to the exit.
    const bool to_close = recording.close_us && run.close_ns;
    std::int64_t recorded =
        (to_close ? *recording.close_us : recording.end_us.value_or(0)) - replay.write_us.back();
    std::int64_t replayed =
        ((to_close ? *run.close_ns : run.exit_ns) - *started.back()) / NS_PER_US;
    if ((!to_close && !recording.end_us) || !gap_off(recorded, replayed))
        return std::nullopt;
    return ReplayDeparture{
        to_close ? recording.close_line : recording.exit_line,
        std::string("the recording has the command ") + (to_close ? "close the device " : "exit ") +
            ms_text(recorded) + " after its last write, it " +
            (to_close ? "closed it " : "exited ") + ms_text(replayed) + " after (" +
            ms_text(gap_tolerance_us(recorded)) + " either way allowed)"};
}

std::optional<ReplayDeparture> flushes_differ(const Replay &replay, const Recording &recording)
{
    const auto &recorded = replay.flush_writes;
    const auto &made = replay.flushes_made;
    for (std::size_t i = 0; i < std::max(recorded.size(), made.size()); ++i) {
        if (i < recorded.size() && i < made.size() && recorded[i] == made[i])
            continue;
        if (i < recorded.size() && (i == made.size() || made[i] > recorded[i]))
            return ReplayDeparture{replay.flush_line[i],
                                   "the recording has an input flush here, after " +
                                       std::to_string(recorded[i]) +
                                       " writes; the command made none"};
        std::size_t writes = made[i];
        std::size_t line =
            writes < replay.write_line.size() ? replay.write_line[writes] : recording.exit_line;
        return ReplayDeparture{line, "the command flushed its input after " +
                                         std::to_string(writes) +
                                         " writes, where the recording has no flush"};
    }
    return std::nullopt;
}

std::optional<ReplayDeparture> output_differs(const Recording &recording, const ReplayedRun &run)
{
    std::string expected;
    for (const RecordedOutput &output : recording.output)
        expected += output.text;
    auto [ours, theirs] =
        std::mismatch(run.output.begin(), run.output.end(), expected.begin(), expected.end());
    if (ours == run.output.end() && theirs == expected.end())
        return std::nullopt;
    // The recorded line where they part, and the printed line that holds the difference.
    auto offset = static_cast<std::size_t>(theirs - expected.begin());
    std::size_t record = 0;
    for (std::size_t start = 0; record < recording.output.size(); ++record) {
        start += recording.output[record].text.size();
        if (start > offset)
            break;
    }
    std::size_t line_start = run.output.rfind('\n', offset == 0 ? 0 : offset - 1);
    line_start = offset == 0 || line_start == std::string::npos ? 0 : line_start + 1;
    std::size_t line_end = run.output.find('\n', offset);
    std::string printed = run.output.substr(
        line_start, line_end == std::string::npos ? line_end : line_end + 1 - line_start);
    std::string what = printed.empty() && offset >= run.output.size()
                           ? "the command printed nothing more"
                           : "the command printed " + output_quote(printed);
    if (record == recording.output.size())
        return ReplayDeparture{recording.output.empty() ? recording.exit_line
                                                        : recording.output.back().line,
                               what + ", where the recording has no more output"};
    return ReplayDeparture{recording.output[record].line,
                           what + ", the recording has " +
                               output_quote(recording.output[record].text)};
}

std::optional<ReplayDeparture> settings_differ(const Recording &recording, const ReplayedRun &run)
{
    // A run whose adapter vanished left settings nobody could read: not compared.
    if (recording.line_settings_line == 0)
        return std::nullopt;
    std::string recorded = replay_settings_compared(recording.line_settings);
    if (run.line_settings == recorded)
        return std::nullopt;
    return ReplayDeparture{recording.line_settings_line,
                           (run.line_settings.empty()
                                ? std::string("the line settings could not be read at the end")
                                : "the command left the line at '" + run.line_settings + "'") +
                               ", the recording has '" + recorded + "'"};
}

std::optional<ReplayDeparture> status_differs(const Recording &recording, const ReplayedRun &run)
{
    if (!recording.exit_status || *recording.exit_status == run.exit_status)
        return std::nullopt;
    return ReplayDeparture{recording.exit_line, "exit status " + std::to_string(run.exit_status) +
                                                    ", the recording has " +
                                                    std::to_string(*recording.exit_status)};
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
            replay.write_us.push_back(chunk.us);
            replay.answers.emplace_back();
            write_us = chunk.us;
            last_delay_us = 0;
            last_write_failed = false;
            continue;
        }
        if (chunk.direction == Direction::flush) {
            replay.flush_writes.push_back(replay.write_end.size());
            replay.flush_line.push_back(chunk.line);
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
    replay.write_started_ns.resize(replay.write_end.size());
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
            depart(replay, replay.write_line.empty() ? replay.last_line : replay.write_line.back(),
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

int replay_call(Replay &replay, const std::string &call, std::size_t written, std::int64_t now_ns)
{
    // Between recorded writes only: a write the command splits is judged by its bytes.
    bool between = written == 0 ||
                   std::binary_search(replay.write_end.begin(), replay.write_end.end(), written);
    if (replay.departure || !between)
        return 0;
    std::size_t writes = write_of_byte(replay, written);
    const bool write = call == "write";
    for (const ReplayFailure &failure : replay.failures)
        if (failure.call == call && failure.writes_before == writes &&
            (write || failure.after_failed_write == replay.write_failed)) {
            replay.write_failed = replay.write_failed || write;
            return failure.error;
        }
    if (write) {
        replay.write_failed = false;
        if (writes < replay.write_started_ns.size() && !replay.write_started_ns[writes])
            replay.write_started_ns[writes] = now_ns;
    }
    return 0;
}

void replay_flushed(Replay &replay, std::size_t written)
{
    replay.flushes_made.push_back(write_of_byte(replay, written));
}

void replay_foreign_open(Replay &replay, const std::string &path)
{
    if (replay.foreign_device.empty())
        replay.foreign_device = path;
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

ReplayVerdict replay_verdict(const Replay &replay, const Recording &recording,
                             const ReplayedRun &run)
{
    ReplayVerdict verdict;
    if (recording.version < 2)
        verdict.unchecked.emplace_back("input flushes");
    if (recording.version < 3) {
        verdict.unchecked.emplace_back("the output");
        verdict.unchecked.emplace_back("the time from the last write to the exit");
    }
    // In the order the checks rank at one line.
    std::optional<ReplayDeparture> found[] = {
        arguments_differ(recording, run),
        device_differs(replay, recording, run),
        bytes_differ(replay),
        gaps_differ(replay, recording, run),
        recording.version >= 2 ? flushes_differ(replay, recording) : std::nullopt,
        recording.version >= 3 ? output_differs(recording, run) : std::nullopt,
        settings_differ(recording, run),
        status_differs(recording, run),
    };
    for (std::optional<ReplayDeparture> &departure : found)
        if (departure && (!verdict.departure || departure->line < verdict.departure->line))
            verdict.departure = std::move(departure);
    return verdict;
}

std::string replay_settings_compared(const std::string &recorded)
{
    return recorded.substr(0, recorded.find(" ("));
}

} // namespace sim
