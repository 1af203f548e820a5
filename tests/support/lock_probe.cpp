// Asks the installed libserialport, not its version number, whether it locks a port: opens the
// device named by the first argument (the others are ignored) and exits 0 when the open succeeds, 1
// when it fails because another program holds the lock, 2 on any other failure.
#include <libserialport.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    sp_port* port = nullptr;
    if (argc < 2 || sp_get_port_by_name(argv[1], &port) != SP_OK) {
        std::fputs("lock_probe: DEVICE names no serial port\n", stderr);
        return 2;
    }
    if (sp_open(port, SP_MODE_READ_WRITE) == SP_OK) {
        return 0;
    }
    const int error = sp_last_error_code();
    std::fprintf(stderr, "lock_probe: sp_open: %s\n", std::strerror(error));
    return error == EWOULDBLOCK ? 1 : 2;
}
