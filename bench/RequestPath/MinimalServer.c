/* The floor for the socket server: one thread, epoll, non-blocking sockets. It answers every
 * line it reads with the fixed reply it was given (the reply the app gives to that request),
 * so a client cannot tell the two apart by the bytes. Runs until SIGTERM or SIGINT.
 *   minimalServer SOCKET REPLY-LINE */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static volatile sig_atomic_t stopping = 0;
static void onSignal(int number) {
    (void)number;
    stopping = 1;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: minimalServer SOCKET REPLY-LINE\n");
        return 2;
    }
    size_t replyLength = strlen(argv[2]);
    char* reply = malloc(replyLength + 1);
    memcpy(reply, argv[2], replyLength);
    reply[replyLength++] = '\n';

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    unlink(argv[1]);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 8) != 0) {
        perror("minimalServer");
        return 1;
    }
    int poller = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {.events = EPOLLIN, .data.fd = listener};
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);

    struct epoll_event ready[16];
    char buffer[4096];
    while (!stopping) {
        int count = epoll_wait(poller, ready, 16, 200);
        for (int i = 0; i < count; ++i) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int connection;
                while ((connection = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    struct epoll_event added = {.events = EPOLLIN, .data.fd = connection};
                    epoll_ctl(poller, EPOLL_CTL_ADD, connection, &added);
                }
                continue;
            }
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                /* One request per line; a client sends one line and waits for its answer. */
                for (ssize_t at = 0; at < n; ++at)
                    if (buffer[at] == '\n') (void)send(fd, reply, replyLength, MSG_NOSIGNAL | MSG_DONTWAIT);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(fd); /* also leaves the epoll set */
            }
        }
    }
    unlink(argv[1]);
    return 0;
}
