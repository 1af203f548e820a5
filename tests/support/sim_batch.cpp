#include "support/sim_batch.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

void run_concurrently(std::size_t count, std::size_t width,
                      const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    const std::size_t threads = std::min(count, std::max<std::size_t>(width, 1));
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++) {
                work(i);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

std::size_t batch_width(std::size_t preferred)
{
    const char* text = std::getenv("RENUMBER_TEST_BATCH_WIDTH");
    if (text == nullptr || *text == '\0') {
        return preferred;
    }
    char* end = nullptr;
    const unsigned long limit = std::strtoul(text, &end, 10);
    return *end == '\0' && limit > 0 ? std::min<std::size_t>(preferred, limit) : preferred;
}

std::vector<SimRun> run_batch_under_sim(const std::string& motor_sim,
                                        const std::vector<SimJob>& jobs,
                                        const std::filesystem::path& folder, std::size_t width)
{
    std::vector<SimRun> runs(jobs.size());
    run_concurrently(jobs.size(), width, [&](std::size_t i) {
        const SimJob& job = jobs[i];
        const std::filesystem::path trace = folder / ("run-" + std::to_string(i) + ".trace");
        runs[i] = run_under_sim(motor_sim, job.sim_options, job.command, trace, job.env);
    });
    return runs;
}
