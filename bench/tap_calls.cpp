// bench-tap-calls RESULT DEVICE CALLS: writes 4 bytes to DEVICE and reads them back CALLS
// times (run it under motor-sim --echo), timing each write() and each read() that got bytes
// on its own, and as many 4-byte writes to /dev/null; writes the median and 99th percentile
// of each, in nanoseconds, to RESULT. Run with and without motor-sim --tap in front, the
// difference is what the tap adds to one call on the device and on any other descriptor.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

long long now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

long long percentile(std::vector<long long> values, std::size_t percent)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) * percent / 100];
}

int fail(const char* what)
{
    std::fprintf(stderr, "bench-tap-calls: %s: %s\n", what, std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: bench-tap-calls RESULT DEVICE CALLS\n", stderr);
        return 2;
    }
    const long calls = std::strtol(argv[3], nullptr, 10);
    const int device = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int null = open("/dev/null", O_WRONLY);
    if (device < 0 || null < 0 || calls <= 0) {
        return fail("open");
    }
    termios raw{};
    if (tcgetattr(device, &raw) != 0) {
        return fail("tcgetattr");
    }
    cfmakeraw(&raw);
    if (tcsetattr(device, TCSANOW, &raw) != 0) {
        return fail("tcsetattr");
    }
    const unsigned char frame[4] = {0xFB, 0x03, 0x00, 0xBB};
    std::vector<long long> writes;
    std::vector<long long> reads;
    std::vector<long long> others;
    for (long i = 0; i < calls; ++i) {
        long long start = now_ns();
        if (write(device, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
            return fail("write");
        }
        writes.push_back(now_ns() - start);
        std::size_t got = 0;
        while (got < sizeof frame) {
            pollfd ready{device, POLLIN, 0};
            if (poll(&ready, 1, 1000) <= 0) {
                return fail("poll");
            }
            unsigned char buffer[64];
            start = now_ns();
            const ssize_t n = read(device, buffer, sizeof buffer);
            const long long took = now_ns() - start;
            if (n > 0) {
                reads.push_back(took);
                got += static_cast<std::size_t>(n);
            }
        }
        start = now_ns();
        if (write(null, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
            return fail("write /dev/null");
        }
        others.push_back(now_ns() - start);
    }
    std::FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        return fail(argv[1]);
    }
    std::fprintf(result,
                 "write_median_ns=%lld write_p99_ns=%lld read_median_ns=%lld read_p99_ns=%lld "
                 "other_median_ns=%lld other_p99_ns=%lld\n",
                 percentile(writes, 50), percentile(writes, 99), percentile(reads, 50),
                 percentile(reads, 99), percentile(others, 50), percentile(others, 99));
    std::fclose(result);
    return 0;
}
