// Throughput of the protocol module's checksums: the CRC-16 that seals every control frame and
// the word-wise CRC-32. Figures only: nothing here judges them, and no test runs this program.
#include "motor/motor.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace {

constexpr std::size_t PAGE_BYTES = 4096;

// Bytes that change from one position to the next, so no table entry is favoured.
std::vector<std::uint8_t> pattern_bytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0x5A});
    return bytes;
}

void BM_crc16_update_control_frame(benchmark::State& state)
{
    // A real control frame, as the tool seals and the motor checks it.
    ControlFrame frame = motor_control_frame(0, 2);
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(frame);
        std::uint16_t crc = crc16_update(0, frame);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_crc16_update_control_frame);

void BM_crc16_update_4KiB(benchmark::State& state)
{
    std::vector<std::uint8_t> bytes = pattern_bytes(PAGE_BYTES);
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        std::uint16_t crc = crc16_update(0, bytes);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_crc16_update_4KiB);

void BM_crc32_words(benchmark::State& state)
{
    std::vector<std::uint32_t> words(static_cast<std::size_t>(state.range(0)));
    std::iota(words.begin(), words.end(), 0x12345678U);
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(words);
        std::uint32_t crc = crc32_words(words);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * words.size() * sizeof(std::uint32_t)));
}
// Four words as a 16-byte record, and 1024 words as 4 KiB.
BENCHMARK(BM_crc32_words)->Arg(4)->Arg(PAGE_BYTES / sizeof(std::uint32_t));

} // namespace

BENCHMARK_MAIN();
