#include "support/sim_run.h"

#include "support/protocol_waits.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

std::filesystem::path make_scratch()
{
    char pattern[] = "/tmp/renumber-e2e-XXXXXX";
    return mkdtemp(pattern) != nullptr ? std::filesystem::path(pattern) : std::filesystem::path();
}

std::string read_text(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<TraceRecord> SimRun::all(const std::string& kind) const
{
    std::vector<TraceRecord> found;
    for (const TraceRecord& record : trace) {
        if (record.kind == kind) {
            found.push_back(record);
        }
    }
    return found;
}

std::vector<std::string> SimRun::sent_frames() const
{
    std::vector<std::string> frames;
    for (const TraceRecord& record : all("tx")) {
        frames.push_back(record.fields.at("bytes"));
    }
    return frames;
}

std::vector<long> SimRun::sent_times() const
{
    std::vector<long> times;
    for (const TraceRecord& record : all("tx")) {
        times.push_back(std::stol(record.fields.at("t")));
    }
    return times;
}

std::string SimRun::low_latency() const
{
    const auto records = all("low-latency");
    return records.empty() ? "" : records.back().fields.at("requested");
}

std::vector<int> SimRun::motor_ids() const
{
    std::vector<int> ids;
    for (const TraceRecord& record : all("motor")) {
        ids.push_back(std::stoi(record.fields.at("end")));
    }
    return ids;
}

std::vector<TraceRecord> parse_trace(std::istream& in)
{
    std::vector<TraceRecord> records;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        TraceRecord record;
        words >> record.kind;
        std::string field;
        while (words >> field) {
            const auto equals = field.find('=');
            record.fields[field.substr(0, equals)] =
                equals == std::string::npos ? "" : field.substr(equals + 1);
        }
        records.push_back(record);
    }
    return records;
}

SimRun run_under_sim(const std::string& motor_sim, const std::vector<std::string>& sim_options,
                     const std::vector<std::string>& command,
                     const std::filesystem::path& trace_file,
                     const std::vector<std::string>& extra_env,
                     const std::vector<std::string>& launcher)
{
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {motor_sim, "--trace", "lines", "--trace-file", trace_file.string()});
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    SimRun run{run_process(argv, extra_env, waits::RUN_LIMIT), {}};
    std::ifstream in(trace_file);
    run.trace = parse_trace(in);
    return run;
}
