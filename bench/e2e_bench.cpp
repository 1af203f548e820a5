// End-to-end timing of renumber under motor-sim: a whole run's wall time against the waits the
// protocol itself prescribes, and renumber's peak resident memory. Prints a Markdown section.
//
//   bench-e2e [--runs N] [--motor-sim PATH] [--renumber PATH] [--measure PATH]
//
// Each run is motor-sim --trace lines ... -- bench-measure RESULT renumber /dev/ttyUSB0 0 1:
// bench-measure times and reaps renumber itself, and the trace tells where the time went.
// Figures only: nothing here judges them, and no test runs this program.
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
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int DEFAULT_RUNS = 11;
constexpr const char* DEVICE = "/dev/ttyUSB0";

// What the protocol makes renumber wait, whatever the machine: with an answering motor the
// 1 ms and 1 s pauses; with nobody on the bus also both 500 ms control waits and the 3 s
// command wait.
struct Scenario {
    const char* name;
    const char* tag;      // in file names
    const char* headline; // in the report's first sentence about it
    std::vector<std::string> sim_options;
    int expected_status;
    double protocol_wait_ms;
    // Waits that fall between the first frame and the last event on the bus (the last answer,
    // or the last frame when nobody answers), and after that event.
    double span_wait_ms;
    double after_span_wait_ms;
    bool answers;
};

struct Measured {
    double wall_ms = 0;
    long max_rss_kib = 0;
    int status = -1;
};

struct Trace {
    std::vector<long> tx_ms;
    std::vector<long> rx_ms;
};

struct Run {
    Measured measured;
    double whole_ms = 0; // motor-sim included
    // The overhead split in two, from differences of trace times only, so no clock alignment
    // between motor-sim and renumber is needed: beyond the waits between the first frame and
    // the last event, and outside that span (start-up, device set-up, exit).
    double span_extra_ms = 0;
    double outside_ms = 0;
};

void fail(const std::string& message)
{
    std::fprintf(stderr, "bench-e2e: %s\n", message.c_str());
    std::exit(1);
}

int status_of(int wait_status)
{
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : 1;
}

std::vector<char*> pointers(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Starts argv with standard output and error sent to output_path (when given).
pid_t spawn(std::vector<std::string> words, const char* output_path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output_path != nullptr) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path,
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    std::vector<char*> argv = pointers(words);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        fail("posix_spawnp: " + words.front() + ": " + std::strerror(result));
    }
    return pid;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number after "key=" in text, or nothing when the key is missing or not followed by one.
bool field(const std::string& text, const char* key, double& value)
{
    const std::size_t at = text.find(key);
    if (at == std::string::npos) {
        return false;
    }
    const char* start = text.c_str() + at + std::strlen(key);
    char* end = nullptr;
    value = std::strtod(start, &end);
    return end != start;
}

Measured parse_result(const std::string& path)
{
    const std::string text = read_file(path);
    double wall_ms = 0;
    double max_rss_kib = 0;
    double status = 0;
    if (!field(text, "wall_ms=", wall_ms) || !field(text, "max_rss_kib=", max_rss_kib) ||
        !field(text, "status=", status)) {
        fail("no measurement in " + path);
    }
    return {wall_ms, static_cast<long>(max_rss_kib), static_cast<int>(status)};
}

// Reads the t= of each tx and rx record of a --trace lines file.
Trace parse_trace(const std::string& path)
{
    Trace trace;
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        const bool tx = line.rfind("tx t=", 0) == 0;
        const bool rx = line.rfind("rx t=", 0) == 0;
        if (tx || rx) {
            (tx ? trace.tx_ms : trace.rx_ms).push_back(std::strtol(line.c_str() + 5, nullptr, 10));
        }
    }
    return trace;
}

struct Paths {
    std::string measure;
    std::string motor_sim;
    std::string renumber;
    std::string work;
};

Run run_once(const Paths& paths, const Scenario& scenario, const std::string& tag)
{
    const std::string trace_path = paths.work + "/trace-" + tag;
    const std::string result_path = paths.work + "/result-" + tag;
    const std::string output_path = paths.work + "/output-" + tag;
    std::vector<std::string> words{paths.motor_sim};
    words.insert(words.end(), scenario.sim_options.begin(), scenario.sim_options.end());
    for (const std::string& word :
         {std::string("--trace"), std::string("lines"), std::string("--trace-file"), trace_path,
          std::string("--"), paths.measure, result_path, paths.renumber, std::string(DEVICE),
          std::string("0"), std::string("1")}) {
        words.push_back(word);
    }

    const Clock::time_point start = Clock::now();
    const pid_t pid = spawn(words, output_path.c_str());
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            fail(std::string("waitpid: ") + std::strerror(errno));
        }
    }
    Run run;
    run.whole_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (status_of(wait_status) != scenario.expected_status) {
        fail(std::string(scenario.name) + ": motor-sim exited with " +
             std::to_string(status_of(wait_status)) + ", not " +
             std::to_string(scenario.expected_status) + "; output:\n" + read_file(output_path));
    }
    run.measured = parse_result(result_path);
    const Trace trace = parse_trace(trace_path);
    // Two control frames and the change command; with a motor, an answer to each.
    const std::size_t answers = scenario.answers ? 3 : 0;
    if (trace.tx_ms.size() != 3 || trace.rx_ms.size() != answers) {
        fail(std::string(scenario.name) + ": unexpected trace in " + trace_path);
    }
    const long last = scenario.answers ? trace.rx_ms.back() : trace.tx_ms.back();
    const auto span = static_cast<double>(last - trace.tx_ms.front());
    run.span_extra_ms = span - scenario.span_wait_ms;
    run.outside_ms = run.measured.wall_ms - span - scenario.after_span_wait_ms;
    return run;
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
    char text[96];
    std::snprintf(text, sizeof text, "%.*f (%.*f–%.*f)", decimals, median(values), decimals, *low,
                  decimals, *high);
    return text;
}

// renumber without motor-sim and its layer.
struct Direct {
    const char* name;
    std::vector<std::string> arguments;
    int expected_status;
    std::vector<double> walls, rss;
};

// Per scenario, the figures of all its runs.
struct Summary {
    std::vector<double> walls, overheads, ratios, span_extra, outside, whole, rss;
};

std::vector<Run> run_scenario(const Paths& paths, const Scenario& scenario, int runs)
{
    // One unrecorded run first, so the page cache holds every binary and library.
    run_once(paths, scenario, std::string(scenario.tag) + "-warm-up");
    std::vector<Run> results;
    results.reserve(static_cast<std::size_t>(runs));
    for (int index = 0; index < runs; ++index) {
        results.push_back(
            run_once(paths, scenario, std::string(scenario.tag) + "-" + std::to_string(index)));
    }
    return results;
}

Measured measure_direct(const Paths& paths, const Direct& direct)
{
    const std::string result = paths.work + "/result-direct";
    std::vector<std::string> words{paths.measure, result, paths.renumber};
    words.insert(words.end(), direct.arguments.begin(), direct.arguments.end());
    const pid_t pid = spawn(words, (paths.work + "/output-direct").c_str());
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    const Measured measured = parse_result(result);
    if (measured.status != direct.expected_status) {
        fail(std::string(direct.name) + ": renumber exited with " +
             std::to_string(measured.status));
    }
    return measured;
}

void run_direct(const Paths& paths, Direct& direct, int runs)
{
    measure_direct(paths, direct); // warms the page cache
    for (int index = 0; index < runs; ++index) {
        const Measured measured = measure_direct(paths, direct);
        direct.walls.push_back(measured.wall_ms);
        direct.rss.push_back(static_cast<double>(measured.max_rss_kib));
    }
}

Summary summarize(const Scenario& scenario, const std::vector<Run>& runs)
{
    Summary summary;
    for (const Run& run : runs) {
        summary.walls.push_back(run.measured.wall_ms);
        summary.overheads.push_back(run.measured.wall_ms - scenario.protocol_wait_ms);
        summary.ratios.push_back(run.measured.wall_ms / scenario.protocol_wait_ms);
        summary.span_extra.push_back(run.span_extra_ms);
        summary.outside.push_back(run.outside_ms);
        summary.whole.push_back(run.whole_ms);
        summary.rss.push_back(static_cast<double>(run.measured.max_rss_kib));
    }
    return summary;
}

double highest(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

void print_headline(const std::vector<Scenario>& scenarios, const std::vector<Summary>& summaries,
                    const Direct& missing_device)
{
    std::printf("**Headline.**");
    double rss = 0;
    for (std::size_t index = 0; index < scenarios.size(); ++index) {
        const Summary& summary = summaries[index];
        std::printf(" %s: a whole run takes %.1f ms against the protocol's %.0f ms of waits, "
                    "%.1f ms more, a ratio of %.4f.",
                    scenarios[index].headline, median(summary.walls),
                    scenarios[index].protocol_wait_ms, median(summary.overheads),
                    median(summary.ratios));
        rss = std::max(rss, highest(summary.rss));
    }
    std::printf(" renumber's peak resident memory is at most %.0f KiB under motor-sim, %.0f KiB "
                "without the simulator's layer.\n\n",
                rss, highest(missing_device.rss));
}

void print_report(int runs, const std::vector<Scenario>& scenarios,
                  const std::vector<Summary>& summaries, const std::array<Direct, 2>& directs)
{
    std::printf("%d runs per case after one unrecorded warm-up run; each cell is the median, with "
                "the lowest and highest run in brackets. The wall time is renumber's own, from "
                "starting the process to reaping it (bench-measure, run by motor-sim in its "
                "place).\n\n",
                runs);
    std::printf("| case | exit status | wall time, ms | protocol's own waits, ms | overhead, ms | "
                "ratio |\n|---|---|---|---|---|---|\n");
    for (std::size_t index = 0; index < scenarios.size(); ++index) {
        const Summary& summary = summaries[index];
        std::printf("| %s | %d | %s | %.0f | %s | %s |\n", scenarios[index].name,
                    scenarios[index].expected_status, spread(summary.walls, 1).c_str(),
                    scenarios[index].protocol_wait_ms, spread(summary.overheads, 1).c_str(),
                    spread(summary.ratios, 4).c_str());
    }

    std::printf(
        "\nWhere the overhead goes. The span runs from the first frame renumber sends to the "
        "last event on the bus (the motor's answer, or the change command when nobody "
        "answers), by motor-sim's trace; its times are whole milliseconds, so the split is good "
        "to about 1 ms. Within the span, the figure is what exceeds the pauses and waits (the "
        "simulated motor answers within the same millisecond); outside it are start-up, device "
        "lookup and set-up, the final wait's overshoot and exit. motor-sim's whole run adds the "
        "simulator's own pseudo-terminal set-up and trace.\n\n");
    std::printf("| case | within the span, beyond its pauses and waits, ms | outside the span, "
                "ms | motor-sim's whole run, ms |\n|---|---|---|---|\n");
    for (std::size_t index = 0; index < scenarios.size(); ++index) {
        const Summary& summary = summaries[index];
        std::printf("| %s | %s | %s | %s |\n", scenarios[index].name,
                    spread(summary.span_extra, 0).c_str(), spread(summary.outside, 1).c_str(),
                    spread(summary.whole, 1).c_str());
    }

    std::printf("\nrenumber without motor-sim, for comparison: its own start-up, and the device "
                "lookup with a missing device (status 255), without the simulator's layer.\n\n");
    std::printf("| run | wall time, ms | peak RSS, KiB |\n|---|---|---|\n");
    for (const Direct& direct : directs) {
        std::printf("| %s | %s | %s |\n", direct.name, spread(direct.walls, 2).c_str(),
                    spread(direct.rss, 0).c_str());
    }

    std::printf("\nPeak resident memory of the renumber process under motor-sim (wait4's "
                "ru_maxrss, which covers that one process; the adapter layer is preloaded into "
                "it):\n\n");
    std::printf("| run | peak RSS, KiB |\n|---|---|\n");
    for (std::size_t index = 0; index < scenarios.size(); ++index) {
        std::printf("| %s | %s |\n", scenarios[index].name,
                    spread(summaries[index].rss, 0).c_str());
    }
}

void benchmark(int runs, const Paths& paths)
{
    const std::vector<Scenario> scenarios{
        {.name = "honest motor",
         .tag = "honest",
         .headline = "With an answering motor",
         .sim_options = {},
         .expected_status = 0,
         .protocol_wait_ms = 1 + 1000,
         .span_wait_ms = 1 + 1000,
         .after_span_wait_ms = 0,
         .answers = true},
        {.name = "silent bus",
         .tag = "silent",
         .headline = "With a silent bus",
         .sim_options = {"--no-motor"},
         .expected_status = 255,
         .protocol_wait_ms = 500 + 1 + 500 + 1000 + 3000,
         .span_wait_ms = 500 + 1 + 500 + 1000,
         .after_span_wait_ms = 3000,
         .answers = false},
    };
    std::vector<Summary> summaries;
    summaries.reserve(scenarios.size());
    for (const Scenario& scenario : scenarios) {
        summaries.push_back(summarize(scenario, run_scenario(paths, scenario, runs)));
    }
    // The usage text is the process's start-up alone; a missing device adds libserialport's
    // lookup.
    std::array<Direct, 2> directs{{
        {.name = "usage text", .arguments = {}, .expected_status = 0, .walls = {}, .rss = {}},
        {.name = "missing device",
         .arguments = {"/dev/renumber-bench-missing", "0", "1"},
         .expected_status = 255,
         .walls = {},
         .rss = {}},
    }};
    for (Direct& direct : directs) {
        run_direct(paths, direct, runs);
    }
    print_headline(scenarios, summaries, std::get<1>(directs));
    print_report(runs, scenarios, summaries, directs);
}

int usage_error(const char* message)
{
    std::fprintf(stderr,
                 "bench-e2e: %s\nusage: bench-e2e [--runs N] [--motor-sim PATH] [--renumber "
                 "PATH] [--measure PATH]\n",
                 message);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = DEFAULT_RUNS;
    Paths paths{BENCH_MEASURE, BENCH_MOTOR_SIM, BENCH_RENUMBER, {}};
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
        } else if (option == "--motor-sim") {
            paths.motor_sim = value;
        } else if (option == "--renumber") {
            paths.renumber = value;
        } else if (option == "--measure") {
            paths.measure = value;
        } else {
            return usage_error(("unknown option " + option).c_str());
        }
    }
    char work[] = "/tmp/renumber-bench-XXXXXX";
    if (mkdtemp(work) == nullptr) {
        fail(std::string("mkdtemp: ") + std::strerror(errno));
    }
    paths.work = work;
    benchmark(runs, paths);
    // The traces are only needed while the report is made.
    std::error_code error;
    std::filesystem::remove_all(paths.work, error);
    if (error) {
        std::fprintf(stderr, "bench-e2e: remove %s: %s\n", work, error.message().c_str());
    }
    return 0;
}
