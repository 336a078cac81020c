/* The least a client can do: connect to the socket, write one request line, read one line. */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 6;
    size_t length = strlen(argv[2]);
    if (write(fd, argv[2], length) != (ssize_t)length || write(fd, "\n", 1) != 1) return 6;
    char buffer[65537];
    size_t got = 0;
    for (;;) {
        ssize_t n = read(fd, buffer + got, sizeof buffer - got);
        if (n <= 0) return 6;
        if (memchr(buffer + got, '\n', (size_t)n) != NULL) break;
        got += (size_t)n;
        if (got == sizeof buffer) return 6;
    }
    close(fd);
    return 0;
}
