// write-bytes PATH HEX STATUS: opens PATH, writes the bytes HEX spells in one write, exits with
// STATUS, or with STATUS "killed" is killed by SIGKILL. A program of the build's own (sanitized
// in a sanitizer build, as the preloaded layer then requires) that sends bytes renumber never
// would, or ends as no shell started under the layer could there.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 4 || std::strlen(argv[2]) % 2 != 0) {
        return 2;
    }
    std::string bytes;
    for (const char* digit = argv[2]; *digit != '\0'; digit += 2) {
        bytes.push_back(static_cast<char>(std::stoi(std::string(digit, 2), nullptr, 16)));
    }
    const int fd = open(argv[1], O_WRONLY | O_NOCTTY);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        return 1;
    }
    if (std::strcmp(argv[3], "killed") == 0) {
        std::raise(SIGKILL);
    }
    return static_cast<int>(std::strtol(argv[3], nullptr, 10));
}
