/* Opens the file it is given, once: a program of the build's own to preload the adapter layer
 * into, since a sanitized layer resolves its runtime from the program and cannot be preloaded
 * into a system one. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        return 1;
    }
    close(fd);
    return 0;
}
