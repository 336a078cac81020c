/* The least a client process can do: one connection per argument after the socket path. "-"
 * connects and closes (a reachability probe); anything else is written as one request line and
 * one line is read back. With "- CAPABILITIES STATUS" it makes the connections `vantor status`
 * makes. */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static char buffer[65537];

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    for (int i = 2; i < argc; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 6;
        if (strcmp(argv[i], "-") != 0) {
            size_t length = strlen(argv[i]);
            if (write(fd, argv[i], length) != (ssize_t)length || write(fd, "\n", 1) != 1) return 6;
            size_t got = 0;
            for (;;) {
                ssize_t n = read(fd, buffer + got, sizeof buffer - got);
                if (n <= 0) return 6;
                if (memchr(buffer + got, '\n', (size_t)n) != NULL) break;
                got += (size_t)n;
                if (got == sizeof buffer) return 6;
            }
        }
        close(fd);
    }
    return 0;
}
