// What the code under test prints on standard output, for fuzz targets that judge messages.
// On first use standard output is moved to an in-memory file for the rest of the run; libFuzzer
// reports on standard error, so nothing of its own is lost.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

/// Everything printed on standard output since the previous call.
inline std::string take_stdout()
{
    static const bool redirected = [] {
        const int fd = memfd_create("fuzz-stdout", 0);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            std::perror("capturing standard output");
            std::abort();
        }
        close(fd);
        return true;
    }();
    std::fflush(stdout);
    std::string text;
    char chunk[512];
    off_t offset = 0;
    ssize_t got = 0;
    while (redirected && (got = pread(STDOUT_FILENO, chunk, sizeof chunk, offset)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
        offset += got;
    }
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
        std::abort();
    }
    return text;
}
