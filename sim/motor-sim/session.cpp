#include "session.hpp"

#include "child.hpp"
#include "clock.hpp"
#include "collision.hpp"
#include "frames.hpp"
#include "layer_socket.hpp"
#include "line_settings.hpp"
#include "motor.hpp"

#include "../protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {
namespace {

// Stands for --send-after's bytes in place of a motor index and a frame number: they never
// collide with a motor's answer.
constexpr std::size_t INJECTED = SIZE_MAX;
constexpr std::uint64_t INJECTED_FRAME = UINT64_MAX;

// A motor's answer (or the injected bytes) waiting for its delay to pass.
struct PendingAnswer {
    std::int64_t due_ns;
    std::uint64_t frame; // answers collide only when they answer the same frame
    std::size_t motor;
    Bytes bytes;
};

struct Session {
    const SessionSetup &setup;
    int event_fd;
    FrameSplitter splitter{};
    std::uint64_t frames = 0;     // control frames and short commands received
    std::uint64_t bytes_read = 0; // what COMMAND has read from the device so far
    std::vector<PendingAnswer> pending{};
    Bytes outgoing{}; // bytes for COMMAND the pty has not taken yet
    bool low_latency_requested = false;
    bool device_opened = false;
    bool hung_up = false;
    std::optional<std::int64_t> hangup_due_ns{}; // --hangup-after N:MS, once the Nth frame came
    bool command_done = false;
    int exit_status = 0;
    std::uint64_t bytes_sent = 0;    // what the bus has sent to COMMAND
    std::uint64_t bytes_written = 0; // what COMMAND has written (a replay asks before each write)
    bool hangup_waiting = false;     // a replayed hang-up waits for COMMAND to read what came first
    bool line_garbled = false;       // the adapter runs another rate: the motors hear noise
    std::int64_t exit_ns = 0;        // when COMMAND was seen to exit
    std::optional<std::int64_t> close_ns{}; // when COMMAND last closed the device
    std::optional<LineFlags> closed_line{}; // the settings it left then, read in its process
    std::optional<std::int64_t> write_ns{}; // when COMMAND last wrote, as the layer saw it
};

std::int64_t elapsed_ms(const Session &session, std::int64_t now_ns)
{
    return (now_ns - session.setup.start_ns) / NS_PER_MS;
}

std::int64_t elapsed_ms(const Session &session)
{
    return elapsed_ms(session, monotonic_ns());
}

void hang_up(Session &session)
{
    pty_hang_up(session.setup.pty);
    if (session.setup.sysfs != nullptr)
        sysfs_note_hangup(*session.setup.sysfs);
    session.hung_up = true;
    session.pending.clear();
    session.outgoing.clear();
    session.splitter = FrameSplitter{};
    trace_hangup(session.setup.trace, elapsed_ms(session));
}

void flush_outgoing(Session &session)
{
    int master = session.setup.pty.master;
    while (!session.outgoing.empty() && master >= 0) {
        ssize_t written = write(master, session.outgoing.data(), session.outgoing.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN)
            return; // the slave's input buffer is full: poll for POLLOUT
        if (written <= 0) {
            session.outgoing.clear();
            return;
        }
        session.outgoing.erase(session.outgoing.begin(), session.outgoing.begin() + written);
    }
}

// Bytes the bus sends back to COMMAND; none once COMMAND is gone or the bus hung up.
void send_to_command(Session &session, const Bytes &bytes, const std::string &source)
{
    if (bytes.empty() || session.command_done || session.setup.pty.master < 0)
        return;
    trace_rx(session.setup.trace, elapsed_ms(session), bytes, source);
    session.bytes_sent += bytes.size();
    session.outgoing.insert(session.outgoing.end(), bytes.begin(), bytes.end());
    flush_outgoing(session);
}

std::string answer_source(const std::vector<std::size_t> &motors)
{
    if (motors.size() == 1 && motors.front() == INJECTED)
        return "injected";
    std::string text = motors.size() == 1 ? "motor " : "motors ";
    for (std::size_t i = 0; i < motors.size(); ++i)
        text += (i == 0 ? "#" : ", #") + std::to_string(motors[i]);
    return motors.size() == 1 ? text : text + " collided";
}

void answer_frame(Session &session, const Frame &frame, std::uint64_t frame_number,
                  std::int64_t now_ns)
{
    std::vector<Motor> &motors = session.setup.options.motors;
    std::vector<Bytes> answers;
    std::vector<std::size_t> answering;
    for (std::size_t i = 0; i < motors.size(); ++i) {
        std::optional<MotorAnswer> answer = frame.kind == FrameKind::control
                                                ? motor_on_control(motors[i], frame.bytes)
                                                : motor_on_short(motors[i], frame.bytes);
        if (!answer || answer->bytes.empty())
            continue;
        if (answer->delay_ms > 0) {
            session.pending.push_back(
                {now_ns + answer->delay_ms * NS_PER_MS, frame_number, i, std::move(answer->bytes)});
            continue;
        }
        answers.push_back(std::move(answer->bytes));
        answering.push_back(i);
    }
    if (!answers.empty())
        send_to_command(session, collide(answers), answer_source(answering));
}

// Traces the frames one chunk completed, then lets the adapter echo the chunk and the
// motors answer, unless the bus hung up at one of them.
void handle_chunk(Session &session, const Bytes &chunk, std::int64_t now_ns)
{
    std::vector<Frame> frames;
    splitter_feed(session.splitter, chunk, frames);
    const std::optional<std::uint64_t> &hangup_after = session.setup.options.hangup_after;
    std::uint64_t frame_number = session.frames; // answers collide per frame
    for (const Frame &frame : frames) {
        trace_tx(session.setup.trace, elapsed_ms(session, session.write_ns.value_or(now_ns)),
                 frame);
        if (frame.kind == FrameKind::unknown)
            continue;
        ++session.frames;
        if (hangup_after && session.frames == *hangup_after && !session.hung_up) {
            if (const auto &delay_ms = session.setup.options.hangup_delay_ms) {
                session.hangup_due_ns = now_ns + *delay_ms * NS_PER_MS;
                continue;
            }
            hang_up(session);
            return;
        }
    }
    if (session.setup.options.echo)
        send_to_command(session, chunk, "echo");
    if (session.setup.replay != nullptr) {
        if (auto remark = replay_feed(*session.setup.replay, chunk, now_ns))
            trace_note(session.setup.trace, elapsed_ms(session, now_ns), *remark);
        return;
    }
    if (session.line_garbled)
        return;
    for (const Frame &frame : frames) {
        if (frame.kind == FrameKind::unknown)
            continue;
        answer_frame(session, frame, ++frame_number, now_ns);
        const std::optional<Injection> &injection = session.setup.options.send_after;
        if (injection && frame_number == injection->after_frame)
            session.pending.push_back({now_ns + injection->delay_ms * NS_PER_MS, INJECTED_FRAME,
                                       INJECTED, injection->bytes});
    }
}

// Reads everything COMMAND has sent so far.
void receive(Session &session)
{
    std::uint8_t buffer[4096];
    while (session.setup.pty.master >= 0) {
        ssize_t got = read(session.setup.pty.master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return; // nothing more for now
        if (got <= 0) {
            // Cannot happen while motor-sim holds a slave descriptor; stop polling.
            trace_note(session.setup.trace, elapsed_ms(session),
                       std::string("read from the bus failed: ") +
                           (got < 0 ? std::strerror(errno) : "end of file"));
            pty_hang_up(session.setup.pty);
            return;
        }
        std::int64_t now_ns = monotonic_ns();
        handle_chunk(session, Bytes(buffer, buffer + got), now_ns);
    }
}

// Sends the delayed answers whose time has come, those to the same frame due at the
// same moment colliding.
void deliver_due(Session &session)
{
    std::int64_t now_ns = monotonic_ns();
    if (session.setup.replay != nullptr)
        for (const ReplayDue &due : replay_take_due(*session.setup.replay, now_ns)) {
            if (due.hangup)
                session.hangup_waiting = true;
            else
                send_to_command(session, due.bytes, "recording");
        }
    if (session.hangup_waiting && !session.hung_up && session.bytes_read >= session.bytes_sent) {
        session.hangup_waiting = false;
        trace_note(session.setup.trace, elapsed_ms(session, now_ns),
                   "the recording has the line hang up here");
        hang_up(session);
    }
    auto &pending = session.pending;
    while (!pending.empty()) {
        auto first = std::min_element(
            pending.begin(), pending.end(), [](const PendingAnswer &a, const PendingAnswer &b) {
                return a.due_ns != b.due_ns ? a.due_ns < b.due_ns : a.frame < b.frame;
            });
        if (first->due_ns > now_ns)
            return;
        std::int64_t due = first->due_ns;
        std::uint64_t frame = first->frame;
        std::vector<Bytes> answers;
        std::vector<std::size_t> answering;
        for (const PendingAnswer &answer : pending)
            if (answer.due_ns == due && answer.frame == frame) {
                answers.push_back(answer.bytes);
                answering.push_back(answer.motor);
            }
        std::sort(answering.begin(), answering.end());
        std::erase_if(pending, [due, frame](const PendingAnswer &answer) {
            return answer.due_ns == due && answer.frame == frame;
        });
        send_to_command(session, collide(answers), answer_source(answering));
    }
}

// The events that only leave a note in the trace.
std::optional<std::string> plain_note(const sim_message &event)
{
    switch (event.kind) {
    case SIM_SERIAL_GET_REFUSED:
        return "TIOCGSERIAL refused: no serial information (ENOTTY)";
    case SIM_BAUD_REFUSED:
        return std::to_string(event.asked_rate) + " baud refused (EINVAL)";
    case SIM_DRAIN_STALLED:
        return "drain: the transmitter does not empty; waiting for a signal";
    case SIM_WRITE_HELD:
        return "the adapter took " + std::to_string(event.count) + " bytes and holds them";
    case SIM_WRITE_LIMITED:
        return "the adapter took " + std::to_string(event.taken) + " of " +
               std::to_string(event.count) + " bytes written";
    default:
        return std::nullopt;
    }
}

// Whether the motors' UARTs read a line running at rate: each byte resynchronises on its start
// bit, so a rate within 2 % of the bus's 4,000,000 baud still samples every bit inside it.
bool motors_read(unsigned long long rate)
{
    constexpr unsigned long long BUS_RATE = 4'000'000;
    const unsigned long long off = rate > BUS_RATE ? rate - BUS_RATE : BUS_RATE - rate;
    return off * 50 <= BUS_RATE;
}

// The adapter runs another rate than the one asked: at it, every frame is noise to the motors.
// Settings that keep the asked rate ask it again with every change; one note is enough.
void note_line_rate(Session &session, std::int64_t ms, const sim_message &event)
{
    if (session.line_garbled)
        return;
    const std::string asked = std::to_string(event.asked_rate);
    const std::string runs = std::to_string(event.rate);
    trace_note(session.setup.trace, ms,
               asked + " baud asked: " +
                   (event.kind == SIM_BAUD_SILENT
                        ? "the adapter runs " + runs + " and the settings keep " + asked
                        : "the driver runs " + runs + " and says so"));
    if (!motors_read(event.rate)) {
        session.line_garbled = true;
        trace_note(session.setup.trace, ms, "the motors hear noise and keep silent");
    }
}

// The path an event carries.
std::string path_of(const sim_message &event)
{
    return {reinterpret_cast<const char *>(event.data), event.data_size};
}

void note_open(Session &session, std::int64_t ms, const sim_message &event)
{
    const bool opened = event.kind == SIM_OPEN;
    trace_device_open(session.setup.trace, ms, path_of(event), !opened);
    session.device_opened = session.device_opened || opened;
    if (opened && session.setup.replay != nullptr)
        replay_opened(*session.setup.replay, monotonic_ns());
    const auto &hangup_after = session.setup.options.hangup_after;
    if (opened && hangup_after && *hangup_after == 0 && !session.hung_up)
        hang_up(session);
}

void note_serial_set(Session &session, std::int64_t ms, const sim_message &event)
{
    const bool refused = event.error != 0;
    session.low_latency_requested = session.low_latency_requested || event.low_latency;
    if (event.low_latency && !refused && session.setup.sysfs != nullptr)
        sysfs_note_low_latency(*session.setup.sysfs);
    trace_note(session.setup.trace, ms,
               std::string("TIOCSSERIAL ") +
                   (event.low_latency ? "with low latency" : "without low latency") +
                   (refused ? ": refused (EPERM)" : ": accepted"));
}

// Hanging up before the acknowledgement: COMMAND's next call meets a vanished device.
void note_read(Session &session, std::int64_t ms, std::uint64_t count)
{
    session.bytes_read += count;
    if (session.hangup_waiting)
        deliver_due(session);
    const auto &hangup_after_read = session.setup.options.hangup_after_read;
    if (hangup_after_read && session.bytes_read >= *hangup_after_read && !session.hung_up) {
        trace_note(session.setup.trace, ms,
                   "the command has read " + std::to_string(session.bytes_read) + " bytes");
        hang_up(session);
    }
}

// During a replay the layer refuses to open any serial device but the simulated one.
void note_foreign_open(Session &session, std::int64_t ms, const std::string &path)
{
    trace_foreign_open(session.setup.trace, ms, path, session.setup.options.device);
    replay_foreign_open(*session.setup.replay, path);
}

// A call the recording has fail fails again: the answer carries its error. A write comes
// with the moment the command made it, as the tap stamps one, which motor-sim's own wake-up
// would only delay.
int note_replayed_call(Session &session, std::int64_t ms, const sim_message &question)
{
    const std::string call = sim_call_name(question.call);
    int error = replay_call(*session.setup.replay, call, session.bytes_written, question.ns);
    if (error == 0) {
        if (question.call == SIM_CALL_WRITE)
            session.bytes_written += question.count;
        return 0;
    }
    const char *name = strerrorname_np(error);
    trace_note(session.setup.trace, ms,
               "the recording has this " + call +
                   " fail: " + (name != nullptr ? name : std::to_string(error)));
    // A terminal fails writes with EIO once it has hung up: the replayed line hangs up with it,
    // so that the command sees the adapter gone as it did.
    if (question.call == SIM_CALL_WRITE && error == EIO && !session.hung_up)
        hang_up(session);
    return error;
}

// The events of a replay, and those that change the run.
bool note_run_event(Session &session, std::int64_t ms, const sim_message &event)
{
    const bool replaying = session.setup.replay != nullptr;
    switch (event.kind) {
    case SIM_OPEN:
    case SIM_OPEN_REFUSED:
        note_open(session, ms, event);
        return true;
    case SIM_SERIAL_SET:
        note_serial_set(session, ms, event);
        return true;
    case SIM_READ:
        note_read(session, ms, event.count);
        return true;
    case SIM_WRITE:
        // What earlier writes sent keeps their moment; this write's bytes get its own.
        receive(session);
        session.write_ns = event.ns;
        return true;
    case SIM_CLOSE:
        session.close_ns = monotonic_ns();
        session.closed_line.reset();
        if (event.error == 0)
            session.closed_line = LineFlags{event.line.speed, event.line.cflag, event.line.iflag,
                                            event.line.oflag, event.line.lflag};
        trace_device_close(session.setup.trace, ms);
        return true;
    case SIM_OPEN_FOREIGN:
        if (replaying)
            note_foreign_open(session, ms, path_of(event));
        return replaying;
    case SIM_FLUSH:
        if (replaying)
            replay_flushed(*session.setup.replay, session.bytes_written);
        return replaying;
    default:
        return false;
    }
}

// Handles one event; returns the error its answer carries (0 but for a replayed call that fails).
int note_event(Session &session, const sim_message &event)
{
    std::int64_t ms = elapsed_ms(session);
    if (event.kind == SIM_ASK && session.setup.replay != nullptr)
        return note_replayed_call(session, ms, event);
    if (note_run_event(session, ms, event))
        return 0;
    if (event.kind == SIM_DRAIN)
        trace_drain(session.setup.trace, ms);
    else if (event.kind == SIM_BAUD_SILENT || event.kind == SIM_BAUD_SUBSTITUTED)
        note_line_rate(session, ms, event);
    else if (std::optional<std::string> note = plain_note(event))
        trace_note(session.setup.trace, ms, *note);
    else
        trace_note(session.setup.trace, ms,
                   "an adapter event motor-sim does not expect (kind " +
                       std::to_string(static_cast<int>(event.kind)) + ")");
    return 0;
}

// Handles every event the layer has sent; each is answered once handled.
void receive_events(Session &session)
{
    layer_receive(session.event_fd, [&session](const sim_message &event) {
        sim_message answer{};
        answer.kind = SIM_ANSWER;
        answer.error = note_event(session, event);
        unsigned char datagram[SIM_MESSAGE_MAX];
        send(session.event_fd, datagram, sim_message_encode(&answer, datagram), MSG_NOSIGNAL);
    });
}

void reap(Session &session)
{
    int status = 0;
    pid_t done;
    do
        done = waitpid(session.setup.child, &status, WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done == session.setup.child) {
        session.command_done = true;
        session.exit_ns = monotonic_ns();
        session.exit_status = exit_status_of(status);
    } else if (done < 0) {
        std::fprintf(stderr, "motor-sim: waitpid: %s\n", std::strerror(errno));
        session.command_done = true;
        session.exit_status = 125;
    }
}

// --hangup-after N:MS: answers due before the moment went out; later ones are lost with the line.
void hang_up_when_due(Session &session)
{
    if (session.hangup_due_ns && *session.hangup_due_ns <= monotonic_ns()) {
        session.hangup_due_ns.reset();
        if (!session.hung_up)
            hang_up(session);
    }
}

std::optional<std::int64_t> next_due(const Session &session)
{
    std::optional<std::int64_t> due;
    if (session.setup.replay != nullptr)
        due = replay_next_due(*session.setup.replay);
    for (const PendingAnswer &answer : session.pending)
        due = std::min(due.value_or(answer.due_ns), answer.due_ns);
    if (session.hangup_due_ns)
        due = std::min(due.value_or(*session.hangup_due_ns), *session.hangup_due_ns);
    return due;
}

timespec until(std::int64_t due)
{
    std::int64_t wait = std::max<std::int64_t>(0, due - monotonic_ns());
    return timespec{static_cast<time_t>(wait / 1'000'000'000),
                    static_cast<long>(wait % 1'000'000'000)};
}

// Serving a line, there is no COMMAND: a signal or the end of the line ends the run.
void end_serving_when_due(Session &session)
{
    if (signals_take(session.setup.signals) || session.setup.pty.master < 0)
        session.command_done = true;
}

void run_until_exit(Session &session)
{
    const SessionSetup &setup = session.setup;
    while (!session.command_done) {
        pollfd fds[5];
        nfds_t count = 0;
        const nfds_t master_slot = count;
        fds[count++] = {setup.pty.master,
                        static_cast<short>(POLLIN | (session.outgoing.empty() ? 0 : POLLOUT)), 0};
        fds[count++] = {session.event_fd, POLLIN, 0};
        fds[count++] = {setup.signals.fd, POLLIN, 0};
        const nfds_t child_slot = count;
        fds[count++] = {setup.pidfd, POLLIN, 0};
        const nfds_t output_slot = count;
        fds[count++] = {setup.output != nullptr ? setup.output->read_end : -1, POLLIN, 0};
        timespec wait{};
        std::optional<std::int64_t> due = next_due(session);
        bool timed = due.has_value();
        if (timed)
            wait = until(*due);
        // Negative descriptors (hung-up master, closed event socket) are skipped.
        int ready = ppoll(fds, count, timed ? &wait : nullptr, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "motor-sim: ppoll: %s\n", std::strerror(errno));
            int status = 0;
            waitpid(setup.child, &status, 0);
            session.command_done = true;
            session.exit_ns = monotonic_ns();
            session.exit_status = exit_status_of(status);
            return;
        }
        receive_events(session);
        if (fds[master_slot].revents != 0)
            receive(session);
        if (fds[output_slot].revents != 0)
            output_pump(*setup.output);
        deliver_due(session);
        hang_up_when_due(session);
        flush_outgoing(session);
        if (setup.serving) {
            end_serving_when_due(session);
            continue;
        }
        signals_forward(setup.signals, setup.child);
        if (fds[child_slot].revents != 0)
            reap(session);
    }
}

// The verdict on a replayed run, on standard error when it departed and in the trace:
// motor-sim then exits 0 for a match and EXIT_REPLAY_DEPARTED for a departure, whatever
// the command's own status (which the trace and the verdict give). What a recording of an
// earlier version cannot show is said on standard error too, so that nobody takes its match
// for more than it is.
int replay_judge(const SessionSetup &setup, const Session &session,
                 const std::string &line_settings)
{
    ReplayedRun run{
        setup.options.device, setup.options.command,
        session.exit_status,  session.exit_ns,
        session.close_ns,     setup.output != nullptr ? setup.output->kept : std::string(),
        line_settings};
    ReplayVerdict verdict = replay_verdict(*setup.replay, *setup.recording, run);
    const std::string &file = setup.options.replay_file;
    std::string unchecked;
    for (std::size_t i = 0; i < verdict.unchecked.size(); ++i)
        unchecked += (i == 0                              ? ""
                      : i + 1 == verdict.unchecked.size() ? " or "
                                                          : ", ") +
                     verdict.unchecked[i];
    if (!unchecked.empty())
        std::fprintf(stderr,
                     "motor-sim: %s is a version %d recording: the replay could not check %s\n",
                     file.c_str(), setup.recording->version, unchecked.c_str());
    if (!verdict.departure) {
        trace_verdict(setup.trace, std::nullopt,
                      "the run matched " + file +
                          (unchecked.empty() ? "" : " (not checked: " + unchecked + ")"));
        return 0;
    }
    const ReplayDeparture &departure = *verdict.departure;
    std::string text = "the run departed from " + file + ":" + std::to_string(departure.line) +
                       ": " + departure.what;
    std::fprintf(stderr, "motor-sim: %s\n", text.c_str());
    trace_verdict(setup.trace, departure.line, text);
    return EXIT_REPLAY_DEPARTED;
}

} // namespace

int session_run(const SessionSetup &setup)
{
    Session session{setup, setup.event_fd};
    run_until_exit(session);
    // COMMAND is gone: what it wrote last still reaches the motors (a change command
    // still changes them), but nobody is left to hear an answer.
    receive_events(session);
    receive(session);
    std::vector<Frame> rest;
    splitter_finish(session.splitter, rest);
    std::int64_t now_ns = monotonic_ns();
    for (const Frame &frame : rest)
        trace_tx(setup.trace, elapsed_ms(session, now_ns), frame);
    for (const PendingAnswer &answer : session.pending)
        trace_note(setup.trace, elapsed_ms(session),
                   (answer.motor == INJECTED
                        ? std::string("the bus would have sent")
                        : "motor #" + std::to_string(answer.motor) + " would have answered") +
                       " " + hex_spaced(answer.bytes) + " at +" +
                       std::to_string(elapsed_ms(session, answer.due_ns)) +
                       " ms; the command had exited");
    int status = session.exit_status;
    if (setup.output != nullptr)
        output_finish(*setup.output);
    // A served line says nothing of what its far end asked of its driver.
    std::string line_settings;
    if (session.device_opened && !setup.serving)
        line_settings = session.closed_line ? line_settings_text(*session.closed_line)
                                            : line_settings_describe(setup.pty.master);
    if (setup.replay != nullptr) {
        std::string unfinished = replay_unfinished(*setup.replay);
        if (!unfinished.empty())
            trace_note(setup.trace, elapsed_ms(session), unfinished);
        for (const ReplayDue &answer : setup.replay->due)
            if (!answer.hangup)
                trace_note(setup.trace, elapsed_ms(session),
                           "the recording would have answered " + hex_spaced(answer.bytes) +
                               " at +" + std::to_string(elapsed_ms(session, answer.due_ns)) +
                               " ms; the command had exited");
        status = replay_judge(setup, session, line_settings);
    }
    if (session.event_fd >= 0)
        close(session.event_fd);
    // A served line says nothing of what its far end asked of its driver.
    std::optional<bool> low_latency;
    if (!setup.serving)
        low_latency = session.low_latency_requested;
    trace_close(setup.trace, elapsed_ms(session), low_latency, setup.options.motors, line_settings,
                session.exit_status);
    return status;
}

} // namespace sim
