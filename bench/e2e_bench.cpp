// A whole run of renumber against the waits the protocol itself prescribes, and renumber's peak
// resident memory. Prints a Markdown section.
//
//   bench-e2e [--runs N] [--renumber PATH]
//
// renumber runs on a bare pseudo-terminal: motor-sim's adapter layer is preloaded with no event
// channel, so it only redirects the device's lookup and open, and this program answers on the
// other end as an honest motor 0 would (or stays silent). motor-sim itself is not involved: its
// acknowledged events and process handling would otherwise be counted as renumber's.
//
// The cost of starting and reaping a process is the harness's, not renumber's: each run is
// paired with a run of bench-idle (a program that does nothing) spawned, served and reaped the
// same way, and the idle run's time is subtracted.
// Figures only: nothing here judges them, and no test runs this program.
#include "motor/motor.h"
#include "options.hpp"
#include "protocol.h"
#include "support/process.h"
#include "sysfs.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int DEFAULT_RUNS = 11;
constexpr char DEVICE[] = "/dev/ttyUSB0";

// One of the protocol's waits: a pause, or a read that times out with nothing to read.
struct Wait {
    bool read;
    int ms;
};

// What the protocol makes renumber wait, whatever the machine: with an answering motor the
// 1 ms and 1 s pauses; with nobody on the bus also both 500 ms control waits and the 3 s
// command wait.
struct Scenario {
    const char* name;
    const char* headline; // in the report's first sentence about it
    bool answers;
    int expected_status;
    std::vector<Wait> waits;
};

const std::array<Scenario, 2> SCENARIOS{{
    {.name = "honest motor",
     .headline = "With an answering motor",
     .answers = true,
     .expected_status = 0,
     .waits = {{false, 1}, {false, 1000}}},
    {.name = "silent bus",
     .headline = "With a silent bus",
     .answers = false,
     .expected_status = 255,
     .waits = {{true, 500}, {false, 1}, {true, 500}, {false, 1000}, {true, 3000}}},
}};

double protocol_wait_ms(const Scenario& scenario)
{
    double total = 0;
    for (const Wait& wait : scenario.waits) {
        total += wait.ms;
    }
    return total;
}

// How late the machine's timers end the scenario's waits, in this process: a pause sleeps as
// renumber's does, a read wait is a select with nothing to watch, as libserialport's read
// times out.
double lateness_ms(const Scenario& scenario)
{
    const Clock::time_point start = Clock::now();
    for (const Wait& wait : scenario.waits) {
        if (wait.read) {
            timespec timeout{.tv_sec = wait.ms / 1000, .tv_nsec = (wait.ms % 1000) * 1000000L};
            pselect(0, nullptr, nullptr, nullptr, &timeout, nullptr);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait.ms));
        }
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() -
           protocol_wait_ms(scenario);
}

// What crossed the pseudo-terminal during one run.
struct Traffic {
    int control_frames = 0;
    int short_frames = 0;
    int stray_bytes = 0;
};

struct Measured {
    double wall_ms = 0; // from just before the spawn to the reaping
    double cpu_ms = 0;  // user and system time of the child
    long max_rss_kib = 0;
    int status = -1;
    Traffic traffic;
};

struct Paths {
    std::string renumber;
    std::string idle;
    std::string adapter;
    std::string work;
    std::string sysfs; // the device's sysfs as motor-sim lays it out (an FT232H on ftdi_sio)
};

void fail(const std::string& message)
{
    std::fprintf(stderr, "bench-e2e: %s\n", message.c_str());
    std::exit(1);
}

void fail_errno(const char* call)
{
    fail(std::string(call) + ": " + std::strerror(errno));
}

double milliseconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// A pseudo-terminal standing in for the adapter. This program keeps the slave open as well, so
// the master never reports a hang-up between runs of the command.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

Pty open_pty()
{
    Pty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0) {
        fail_errno("posix_openpt");
    }
    std::array<char, 128> name{};
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
        ptsname_r(pty.master, name.data(), name.size()) != 0) {
        fail_errno("grantpt, unlockpt or ptsname_r");
    }
    if (fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK) != 0) {
        fail_errno("fcntl");
    }
    pty.slave_path = name.data();
    pty.slave = open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &raw) != 0) {
        fail_errno(pty.slave_path.c_str());
    }
    // Nothing echoes or rewrites the bytes before the command sets the line up itself.
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    return pty;
}

void close_pty(Pty& pty)
{
    close(pty.slave);
    close(pty.master);
}

// The environment with the adapter layer preloaded for DEVICE only, which renumber finds in sysfs
// as on a machine with the adapter plugged in; no event channel is given, so the layer reports
// nothing and waits for nobody.
std::vector<std::string> environment(const Paths& paths, const Pty& pty)
{
    sim::Options options;
    options.device = DEVICE;
    return process_environment({"LD_PRELOAD=" + paths.adapter,
                                std::string(MOTOR_SIM_ENV) + "=" +
                                    sim::adapter_config(options, pty.slave_path, paths.sysfs, -1),
                                std::string(MOTOR_SIM_ENV_TAP) + "="});
}

// Answers complete frames at the front of pending as motor 0 would, or only counts them.
void serve(std::vector<std::uint8_t>& pending, int master, bool answers, Traffic& traffic)
{
    std::size_t used = 0;
    while (used < pending.size()) {
        const std::span<const std::uint8_t> rest(pending.data() + used, pending.size() - used);
        std::vector<std::uint8_t> answer;
        if (rest[0] == 0xFE && (rest.size() < 2 || rest[1] == 0xEE)) {
            if (rest.size() < CONTROL_FRAME_SIZE) {
                break;
            }
            ++traffic.control_frames;
            // FD DD, identifier and status as addressed, eleven zero bytes, CRC-16 low byte first.
            answer.assign(CONTROL_ANSWER_SIZE, 0);
            answer[0] = 0xFD;
            answer[1] = 0xDD;
            answer[2] = rest[2];
            const std::uint16_t crc =
                crc16_update(0, std::span(answer).first(CONTROL_ANSWER_SIZE - 2));
            answer[CONTROL_ANSWER_SIZE - 2] = static_cast<std::uint8_t>(crc & 0xFF);
            answer[CONTROL_ANSWER_SIZE - 1] = static_cast<std::uint8_t>(crc >> 8);
            used += CONTROL_FRAME_SIZE;
        } else if (rest[0] == 0xFB) {
            if (rest.size() < SHORT_FRAME_SIZE) {
                break;
            }
            ++traffic.short_frames;
            // Command 1: the high four bits of byte 2 are the new identifier.
            answer = {0xFC, 0x01, static_cast<std::uint8_t>(rest[2] >> 4), 0xBB};
            used += SHORT_FRAME_SIZE;
        } else {
            ++traffic.stray_bytes;
            ++used;
        }
        if (answers && write(master, answer.data(), answer.size()) < 0) {
            fail_errno("write to the pseudo-terminal");
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
}

// Spawns words with the adapter layer on a fresh pseudo-terminal, serves the bus until the
// process ends and reaps it. Its output goes to output_path.
Measured run_once(const Paths& paths, const std::vector<std::string>& words, bool answers,
                  const std::string& output_path)
{
    Pty pty = open_pty();
    Measured measured;
    std::vector<std::uint8_t> pending;
    const auto bus = [&](short revents) {
        if ((revents & POLLIN) == 0) {
            return false; // a hang-up or error: stop watching the bus, wait for the process
        }
        std::array<std::uint8_t, 256> bytes{};
        const ssize_t got = read(pty.master, bytes.data(), bytes.size());
        if (got > 0) {
            pending.insert(pending.end(), bytes.begin(), bytes.begin() + got);
            serve(pending, pty.master, answers, measured.traffic);
        }
        return true;
    };
    Command command;
    command.argv = words;
    command.env = environment(paths, pty);
    command.streams = {{{-1, "/dev/null", O_RDONLY},
                        {-1, output_path, O_WRONLY | O_CREAT | O_TRUNC},
                        {STDOUT_FILENO, "", 0}}};
    command.watches = {{pty.master, bus}};
    command.until_exit = true;
    const Reaped reaped = process_run(command);
    if (reaped.status < 0 || !reaped.error.empty()) {
        fail(reaped.error);
    }
    measured.wall_ms = std::chrono::duration<double, std::milli>(reaped.wall).count();
    measured.max_rss_kib = reaped.usage.ru_maxrss; // KiB on Linux, this one child only
    measured.cpu_ms = milliseconds(reaped.usage.ru_utime) + milliseconds(reaped.usage.ru_stime);
    measured.status = reaped.status;
    close_pty(pty);
    measured.traffic.stray_bytes += static_cast<int>(pending.size());
    return measured;
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Measured run_renumber(const Paths& paths, const Scenario& scenario)
{
    const std::string output = paths.work + "/output";
    const Measured measured =
        run_once(paths, {paths.renumber, DEVICE, "0", "1"}, scenario.answers, output);
    const Traffic& seen = measured.traffic;
    if (measured.status != scenario.expected_status || seen.control_frames != 2 ||
        seen.short_frames != 1 || seen.stray_bytes != 0) {
        fail(std::string(scenario.name) + ": renumber exited with " +
             std::to_string(measured.status) + " after " + std::to_string(seen.control_frames) +
             " control frames, " + std::to_string(seen.short_frames) + " short frames and " +
             std::to_string(seen.stray_bytes) + " other bytes; its output:\n" + read_text(output));
    }
    return measured;
}

Measured run_idle(const Paths& paths)
{
    const Measured measured = run_once(paths, {paths.idle}, false, paths.work + "/output-idle");
    if (measured.status != 0) {
        fail("bench-idle exited with " + std::to_string(measured.status));
    }
    return measured;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// "median (min–max)" with the given decimals.
std::string spread(const std::vector<double>& values, int decimals)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    std::array<char, 96> text{};
    std::snprintf(text.data(), text.size(), "%.*f (%.*f–%.*f)", decimals, median(values), decimals,
                  *low, decimals, *high);
    return text.data();
}

// Per scenario, the figures of all its runs, each renumber run with its paired idle run and
// lateness measurement.
struct Summary {
    std::vector<double> walls, idles, overheads, lateness, cpu, rss, idle_rss;
};

Summary run_scenario(const Paths& paths, const Scenario& scenario, int runs)
{
    // One unrecorded pair first, so the page cache holds every binary and library.
    run_idle(paths);
    run_renumber(paths, scenario);
    Summary summary;
    for (int index = 0; index < runs; ++index) {
        const Measured idle = run_idle(paths);
        const double late_ms = lateness_ms(scenario);
        const Measured run = run_renumber(paths, scenario);
        const double overhead = run.wall_ms - protocol_wait_ms(scenario) - idle.wall_ms;
        summary.walls.push_back(run.wall_ms);
        summary.idles.push_back(idle.wall_ms);
        summary.overheads.push_back(overhead);
        summary.lateness.push_back(late_ms);
        summary.cpu.push_back(run.cpu_ms - idle.cpu_ms);
        summary.rss.push_back(static_cast<double>(run.max_rss_kib));
        summary.idle_rss.push_back(static_cast<double>(idle.max_rss_kib));
    }
    return summary;
}

void print_report(int runs, const std::array<Summary, SCENARIOS.size()>& summaries)
{
    double rss = 0;
    std::printf("**Headline.**");
    for (std::size_t index = 0; index < SCENARIOS.size(); ++index) {
        const Summary& summary = summaries[index];
        std::printf(" %s: renumber adds %.1f ms to the protocol's %.0f ms of waits, while the "
                    "same waits alone end %.1f ms late; its own CPU time is %.2f ms.",
                    SCENARIOS[index].headline, median(summary.overheads),
                    protocol_wait_ms(SCENARIOS[index]), median(summary.lateness),
                    median(summary.cpu));
        rss = std::max(rss, *std::max_element(summary.rss.begin(), summary.rss.end()));
    }
    std::printf(" renumber's peak resident memory is at most %.0f KiB.\n\n", rss);

    std::printf(
        "%d rounds per case after one unrecorded warm-up round; each cell is the median, with "
        "the lowest and highest round in brackets. A round is a do-nothing run, the protocol's "
        "waits timed in bench-e2e itself, then renumber's run. renumber's overhead is its wall "
        "time less the protocol's waits less the do-nothing run of its round, and its CPU time "
        "is likewise less the do-nothing run's.\n\n",
        runs);
    std::printf("| case | exit status | wall time, ms | protocol's waits, ms | do-nothing run, ms "
                "| renumber's overhead, ms | the waits alone end late by, ms | renumber's CPU "
                "time, ms |\n|---|---|---|---|---|---|---|---|\n");
    for (std::size_t index = 0; index < SCENARIOS.size(); ++index) {
        const Summary& summary = summaries[index];
        std::printf("| %s | %d | %s | %.0f | %s | %s | %s | %s |\n", SCENARIOS[index].name,
                    SCENARIOS[index].expected_status, spread(summary.walls, 1).c_str(),
                    protocol_wait_ms(SCENARIOS[index]), spread(summary.idles, 2).c_str(),
                    spread(summary.overheads, 1).c_str(), spread(summary.lateness, 1).c_str(),
                    spread(summary.cpu, 2).c_str());
    }

    std::printf("\nPeak resident memory (wait4's ru_maxrss, which covers the one child; the "
                "adapter layer is preloaded into both):\n\n");
    std::printf("| case | renumber, KiB | do-nothing run, KiB |\n|---|---|---|\n");
    for (std::size_t index = 0; index < SCENARIOS.size(); ++index) {
        std::printf("| %s | %s | %s |\n", SCENARIOS[index].name,
                    spread(summaries[index].rss, 0).c_str(),
                    spread(summaries[index].idle_rss, 0).c_str());
    }
}

int usage_error(const char* message)
{
    std::fprintf(stderr, "bench-e2e: %s\nusage: bench-e2e [--runs N] [--renumber PATH]\n", message);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = DEFAULT_RUNS;
    Paths paths{BENCH_RENUMBER, BENCH_IDLE, BENCH_ADAPTER, {}, {}};
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (index + 1 >= argc) {
            return usage_error(("missing value after " + option).c_str());
        }
        const char* value = argv[++index];
        if (option == "--runs") {
            char* end = nullptr;
            const long parsed = std::strtol(value, &end, 10);
            if (*end != '\0' || parsed < 1 || parsed > 1000) {
                return usage_error("--runs takes a number from 1 to 1000");
            }
            runs = static_cast<int>(parsed);
        } else if (option == "--renumber") {
            paths.renumber = value;
        } else {
            return usage_error(("unknown option " + option).c_str());
        }
    }
    std::array<char, 32> work{"/tmp/renumber-bench-XXXXXX"};
    if (mkdtemp(work.data()) == nullptr) {
        fail_errno("mkdtemp");
    }
    paths.work = work.data();
    sim::Sysfs sysfs;
    std::string sysfs_error;
    if (!sim::sysfs_create(sim::Options{}, sysfs, sysfs_error)) {
        fail(sysfs_error);
    }
    paths.sysfs = sysfs.folder;
    std::array<Summary, SCENARIOS.size()> summaries;
    for (std::size_t index = 0; index < SCENARIOS.size(); ++index) {
        summaries[index] = run_scenario(paths, SCENARIOS[index], runs);
    }
    sim::sysfs_remove(sysfs);
    print_report(runs, summaries);
    std::error_code error;
    std::filesystem::remove_all(paths.work, error);
    if (error) {
        std::fprintf(stderr, "bench-e2e: remove %s: %s\n", paths.work.c_str(),
                     error.message().c_str());
    }
    return 0;
}
