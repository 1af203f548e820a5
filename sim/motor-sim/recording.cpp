#include "recording.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {
namespace {

// A recording of one run is a few kilobytes; this bounds what a wrong path can cost.
constexpr std::size_t MAX_RECORDING_SIZE = 16U << 20U;
// About eleven days, far beyond any run, and far from overflowing.
constexpr std::int64_t MAX_TIME_US = 1'000'000'000'000;

constexpr std::string_view SEPARATORS = " \t";

struct Parser {
    Recording &recording;
    std::string &error;
    std::size_t line_number = 0;
    std::int64_t last_us = 0;
};

constexpr std::size_t QUOTE_MAX = 40;

bool fail(Parser &parser, const std::string &what)
{
    parser.error = "line " + std::to_string(parser.line_number) + ": " + what;
    return false;
}

std::string_view next_word(std::string_view &rest)
{
    std::size_t start = rest.find_first_not_of(SEPARATORS);
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    std::size_t end = rest.find_first_of(SEPARATORS);
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return word;
}

std::string_view trimmed(std::string_view text)
{
    std::size_t start = text.find_first_not_of(SEPARATORS);
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, text.find_last_not_of(SEPARATORS) - start + 1);
}

bool all_digits(std::string_view text)
{
    return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// Milliseconds with up to three decimals ("12", "12.5", "12.345") to microseconds.
bool parse_time(std::string_view text, std::int64_t &us)
{
    std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (!all_digits(whole) || whole.size() > 10 ||
        (dot != std::string_view::npos && (!all_digits(fraction) || fraction.size() > 3)))
        return false;
    std::int64_t value = 0;
    for (char c : whole)
        value = value * 10 + (c - '0');
    std::int64_t thousandths = 0;
    for (std::size_t i = 0; i < 3; ++i)
        thousandths = thousandths * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    us = value * 1000 + thousandths;
    return us <= MAX_TIME_US;
}

// A record's time, which never goes back.
bool parse_record_time(Parser &parser, std::string_view time, std::int64_t &us)
{
    if (!parse_time(time, us))
        return fail(parser, "bad time '" + recording_quote(time) +
                                "': milliseconds since the command started, such as 12.345");
    if (us < parser.last_us)
        return fail(parser, "time " + recording_quote(time) + " is before the previous record's");
    parser.last_us = us;
    return true;
}

bool parse_chunk(Parser &parser, Direction direction, std::string_view keyword,
                 std::string_view rest)
{
    std::string_view time = next_word(rest);
    if (time.empty())
        return fail(parser, std::string(keyword) + " needs a time and bytes");
    RecordedChunk chunk{direction, 0, {}};
    chunk.line = parser.line_number;
    if (!parse_record_time(parser, time, chunk.us))
        return false;
    if (direction == Direction::fail) {
        chunk.call = next_word(rest);
        chunk.error = next_word(rest);
        if (chunk.call.empty() || chunk.error.empty() || !next_word(rest).empty())
            return fail(parser, "fail needs a time, the call and its error, such as "
                                "'fail 7.5 write EIO'");
    } else if (direction == Direction::eof && !trimmed(rest).empty()) {
        return fail(parser, "eof takes a time only");
    }
    for (std::string_view word = next_word(rest); !word.empty(); word = next_word(rest)) {
        Bytes bytes;
        if (!hex_parse(word, bytes))
            return fail(parser, "bad bytes '" + recording_quote(word) +
                                    "': pairs of hexadecimal digits such as FE or FEEE");
        chunk.bytes.insert(chunk.bytes.end(), bytes.begin(), bytes.end());
    }
    if (chunk.bytes.empty() && (direction == Direction::tx || direction == Direction::rx))
        return fail(parser, std::string(keyword) + " without bytes");
    parser.recording.chunks.push_back(std::move(chunk));
    return true;
}

bool parse_status(std::string_view status, int &value)
{
    if (!all_digits(status) || status.size() > 3)
        return false;
    value = 0;
    for (char c : status)
        value = value * 10 + (c - '0');
    return value <= 255;
}

bool parse_exit(Parser &parser, std::string_view rest)
{
    int value = 0;
    if (!parse_status(trimmed(rest), value))
        return fail(parser, "exit needs a status from 0 to 255");
    parser.recording.exit_status = value;
    parser.recording.exit_line = parser.line_number;
    return true;
}

bool parse_end(Parser &parser, std::string_view rest)
{
    std::string_view time = next_word(rest);
    std::string_view exit = next_word(rest);
    std::string_view status = next_word(rest);
    int value = 0;
    if (time.empty() || exit != "exit" || !parse_status(status, value) || !next_word(rest).empty())
        return fail(parser, "end needs the time the command exited and its status from 0 to "
                            "255, such as 'end 1013.5 exit 0'");
    std::int64_t us = 0;
    if (!parse_record_time(parser, time, us))
        return false;
    parser.recording.end_us = us;
    parser.recording.exit_status = value;
    parser.recording.exit_line = parser.line_number;
    return true;
}

bool parse_close(Parser &parser, std::string_view rest)
{
    std::string_view time = next_word(rest);
    std::int64_t us = 0;
    if (time.empty() || !next_word(rest).empty())
        return fail(parser, "close takes a time only");
    if (!parse_record_time(parser, time, us))
        return false;
    parser.recording.close_us = us;
    parser.recording.close_line = parser.line_number;
    return true;
}

bool parse_device(Parser &parser, std::string_view rest)
{
    std::string_view path = trimmed(rest);
    if (parser.recording.device_line != 0)
        return fail(parser, "a second device record");
    if (path.empty() || path.front() != '/' ||
        path.find_first_of(SEPARATORS) != std::string_view::npos)
        return fail(parser, "device needs one absolute path such as /dev/ttyUSB0");
    parser.recording.device = path;
    parser.recording.device_line = parser.line_number;
    return true;
}

// A record that comes once at most (command, line): its text and its line.
bool parse_single(Parser &parser, std::string_view keyword, std::string_view rest,
                  std::string &text, std::size_t &line)
{
    if (line != 0)
        return fail(parser, "a second " + std::string(keyword) + " record");
    text = trimmed(rest);
    line = parser.line_number;
    return true;
}

// The text between the quotes of an out record, its escapes undone; false at a bare quote or
// an escape that is none of recording_escape's.
bool unescape(std::string_view quoted, std::string &text)
{
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '"')
            return false;
        if (c != '\\') {
            text.push_back(c);
            continue;
        }
        if (++i == quoted.size())
            return false;
        switch (quoted[i]) {
        case 'n':
            text.push_back('\n');
            break;
        case 'r':
            text.push_back('\r');
            break;
        case 't':
            text.push_back('\t');
            break;
        case '\\':
        case '"':
            text.push_back(quoted[i]);
            break;
        case 'x': {
            Bytes byte;
            if (!hex_parse(quoted.substr(i + 1, 2), byte) || byte.size() != 1)
                return false;
            text.push_back(static_cast<char>(byte[0]));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

bool parse_output(Parser &parser, std::string_view rest)
{
    std::string_view quoted = trimmed(rest);
    RecordedOutput output{{}, parser.line_number};
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"' ||
        !unescape(quoted.substr(1, quoted.size() - 2), output.text))
        return fail(parser, "out needs its text in double quotes, escaped as \\n, \\r, "
                            "\\t, \\\\, \\\" or \\xNN, such as 'out \"OK\\n\"'");
    parser.recording.output.push_back(std::move(output));
    return true;
}

// The records each version knows beyond tx, rx, device, command, note and line.
bool parse_versioned(Parser &parser, std::string_view keyword, std::string_view rest, bool &known)
{
    known = true;
    int version = parser.recording.version;
    if (version >= 2 && keyword == "flush")
        return parse_chunk(parser, Direction::flush, keyword, rest);
    if (version >= 2 && keyword == "fail")
        return parse_chunk(parser, Direction::fail, keyword, rest);
    if (version >= 2 && keyword == "eof")
        return parse_chunk(parser, Direction::eof, keyword, rest);
    if (version >= 2 && keyword == "start")
        return true;
    if (version >= 3 && keyword == "out")
        return parse_output(parser, rest);
    if (version >= 3 && keyword == "end")
        return parse_end(parser, rest);
    if (version >= 3 && keyword == "close")
        return parse_close(parser, rest);
    if (version < 3 && keyword == "exit")
        return parse_exit(parser, rest);
    known = false;
    return false;
}

bool parse_line(Parser &parser, std::string_view line)
{
    std::string_view rest = line;
    std::string_view keyword = next_word(rest);
    int version = parser.recording.version;
    if (keyword.empty() || keyword.front() == '#')
        return true;
    if (parser.recording.exit_status)
        return fail(parser, version >= 3 ? "a record after end" : "a record after exit");
    if (keyword == "tx")
        return parse_chunk(parser, Direction::tx, keyword, rest);
    if (keyword == "rx")
        return parse_chunk(parser, Direction::rx, keyword, rest);
    bool known = false;
    bool parsed = parse_versioned(parser, keyword, rest, known);
    if (known)
        return parsed;
    if (keyword == "device")
        return parse_device(parser, rest);
    if (keyword == "command")
        return parse_single(parser, keyword, rest, parser.recording.command,
                            parser.recording.command_line);
    if (keyword == "line")
        return parse_single(parser, keyword, rest, parser.recording.line_settings,
                            parser.recording.line_settings_line);
    if (keyword == "note")
        return true;
    static constexpr const char *EXPECTED[] = {
        "tx, rx, device, command, note, line or exit",
        "tx, rx, flush, fail, eof, start, device, command, note, line or exit",
        "tx, rx, flush, fail, eof, out, close, start, device, command, note, line or end",
    };
    return fail(parser, "unknown record '" + recording_quote(keyword) + "' (expected " +
                            EXPECTED[version - 1] + ")");
}

bool parse_header(Parser &parser, std::string_view line)
{
    constexpr std::string_view prefix = "motor-sim recording ";
    if (line.substr(0, prefix.size()) != prefix)
        return fail(parser, "not a motor-sim recording: the first line must be '" +
                                std::string(RECORDING_HEADER) + "'");
    std::string_view version = line.substr(prefix.size());
    if (version.size() != 1 || version[0] < '1' || version[0] - '0' > RECORDING_VERSION)
        return fail(parser, "version '" + recording_quote(version) +
                                "' is not supported: this motor-sim reads versions 1 to " +
                                std::to_string(RECORDING_VERSION));
    parser.recording.version = version[0] - '0';
    return true;
}

std::string time_text(std::int64_t us)
{
    char time[48];
    std::snprintf(time, sizeof time, "%" PRId64 ".%03" PRId64, us / 1000, us % 1000);
    return time;
}

} // namespace

bool recording_parse(std::string_view text, Recording &recording, std::string &error)
{
    Recording parsed;
    Parser parser{parsed, error};
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        ++parser.line_number;
        if (!line.empty() && line.back() == '\r') // edited on another system
            line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos)
            return fail(parser, "a NUL byte: this is not a text file");
        // The tap ends every record with a newline: without one, the file was cut here.
        if (end == std::string_view::npos && !text.empty())
            return fail(parser, "cut short (no newline ends the line): the recording is "
                                "incomplete");
        if (parser.line_number == 1 ? !parse_header(parser, line) : !parse_line(parser, line))
            return false;
        if (end == std::string_view::npos || end + 1 == text.size())
            break;
        start = end + 1;
    }
    recording = std::move(parsed);
    return true;
}

bool recording_complete(const Recording &recording, std::string &error)
{
    const bool ended = recording.exit_status.has_value();
    std::vector<std::string> missing;
    if (recording.device_line == 0)
        missing.emplace_back("device");
    if (recording.command_line == 0)
        missing.emplace_back("command");
    if (!ended)
        missing.emplace_back(recording.version >= 3 ? "end" : "exit");
    if (missing.empty())
        return true;
    error = "an incomplete recording: no ";
    for (std::size_t i = 0; i < missing.size(); ++i)
        error += (i == 0 ? "" : i + 1 == missing.size() ? " or " : ", ") + missing[i];
    error += " record";
    if (!ended)
        error += " (the tap did not finish: it or its command was killed)";
    return false;
}

bool recording_load(const std::string &path, Recording &recording, std::string &error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "open: " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    while (true) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = "read: " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > MAX_RECORDING_SIZE) {
            error = path + ": larger than 16 MiB, not a recording of one run";
            close(fd);
            return false;
        }
    }
    close(fd);
    std::string message;
    if (!recording_parse(text, recording, message)) {
        // "line N: what" becomes "PATH:N: what", as compilers report.
        error = path + ":" + message.substr(std::strlen("line "));
        return false;
    }
    if (!recording_complete(recording, message)) {
        error = path + ": " + message;
        return false;
    }
    return true;
}

std::string recording_chunk_line(const RecordedChunk &chunk)
{
    static constexpr const char *KEYWORDS[] = {"tx ", "rx ", "flush ", "fail ", "eof "};
    std::string line = KEYWORDS[static_cast<std::size_t>(chunk.direction)] + time_text(chunk.us);
    if (chunk.direction == Direction::fail)
        return line + " " + chunk.call + " " + chunk.error;
    return chunk.bytes.empty() ? line : line + " " + hex_spaced(chunk.bytes);
}

std::string recording_escape(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == '\t')
            escaped += "\\t";
        else if (c == '\\' || c == '"')
            escaped += {'\\', c};
        else if (byte >= 0x20 && byte < 0x7F)
            escaped.push_back(c);
        else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            escaped += code;
        }
    }
    return escaped;
}

std::string recording_output_line(std::string_view text)
{
    return "out \"" + recording_escape(text) + "\"";
}

std::string recording_time(std::int64_t us)
{
    return time_text(us);
}

std::string recording_end_line(std::int64_t us, int exit_status)
{
    return "end " + time_text(us) + " exit " + std::to_string(exit_status);
}

std::string recording_quote(std::string_view text)
{
    std::string quoted;
    for (char c : text.substr(0, QUOTE_MAX)) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            quoted.push_back(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        quoted += escaped;
    }
    return text.size() > QUOTE_MAX ? quoted + "..." : quoted;
}

} // namespace sim
