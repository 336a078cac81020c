/* The floor for a client: connect, write one line, read one line, close, as plain system calls.
 *   rawClient SOCKET REQUEST-LINE                  prints the reply line once
 *   rawClient SOCKET REQUEST-LINE N                N exchanges in turn: p50 and p99 in microseconds
 *   rawClient SOCKET REQUEST-LINE N CLIENTS        CLIENTS processes at once, N exchanges each:
 *                                                  exchanges per second over the whole run
 * With RAW_CLIENT_POLL=1 in the environment the socket is non-blocking and a read that finds
 * nothing waits in poll(), as AutomationClient does: what that way of waiting costs by itself. */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static struct sockaddr_un address;
static int nonBlocking;
static char reply[65537];

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* One exchange; the reply's length, or -1. */
static long exchange(const char* line, size_t length) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return -1;
    if (send(fd, line, length, MSG_NOSIGNAL) != (ssize_t)length) return close(fd), -1;
    size_t got = 0;
    for (;;) {
        ssize_t n = read(fd, reply + got, sizeof reply - 1 - got);
        if (n < 0 && nonBlocking && errno == EAGAIN) {
            struct pollfd entry = {fd, POLLIN, 0};
            if (poll(&entry, 1, 10000) != 1) return close(fd), -1;
            continue;
        }
        if (n <= 0) return close(fd), -1;
        if (memchr(reply + got, '\n', (size_t)n) != NULL) {
            got += (size_t)n;
            break;
        }
        got += (size_t)n;
        if (got == sizeof reply - 1) return close(fd), -1;
    }
    close(fd);
    reply[got] = 0;
    return (long)got;
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: rawClient SOCKET REQUEST-LINE [N [CLIENTS]]\n");
        return 2;
    }
    const char* mode = getenv("RAW_CLIENT_POLL");
    nonBlocking = mode != NULL && strcmp(mode, "1") == 0;
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    size_t length = strlen(argv[2]);
    char* line = malloc(length + 1);
    memcpy(line, argv[2], length);
    line[length++] = '\n';

    if (argc == 3) {
        if (exchange(line, length) < 0) return 6;
        fputs(reply, stdout);
        return 0;
    }
    int rounds = atoi(argv[3]);
    int clients = argc == 5 ? atoi(argv[4]) : 1;
    if (rounds < 1 || clients < 1) return 2;
    if (clients == 1) {
        double* latencies = malloc(sizeof(double) * (size_t)rounds);
        for (int i = 0; i < rounds; ++i) {
            double start = now();
            if (exchange(line, length) < 0) return 6;
            latencies[i] = (now() - start) * 1e6;
        }
        qsort(latencies, (size_t)rounds, sizeof(double), compare);
        printf("p50_us %.1f p99_us %.1f\n", latencies[rounds / 2], latencies[(rounds * 99) / 100]);
        return 0;
    }
    double start = now();
    for (int c = 0; c < clients; ++c) {
        if (fork() == 0) {
            for (int i = 0; i < rounds; ++i)
                if (exchange(line, length) < 0) _exit(6);
            _exit(0);
        }
    }
    int failed = 0, status;
    while (wait(&status) > 0) failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    double elapsed = now() - start;
    printf("exchanges_per_s %.0f failed_clients %d\n", (double)rounds * clients / elapsed, failed);
    return failed ? 6 : 0;
}
