/* The floor the window's answer turnaround is measured against: the least a program can do to
 * answer the monitoring job's messages on a tty. poll(), read(), and at each ETX the message with
 * its first "A" made "J" and its first "R" made "Y" written back at once. No log, no threads.
 *   bench_bare_responder <device>       (ends when the far end hangs up) */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { kEtx = 0x03, kMessageMost = 4096 };

static void Answer(char* message, size_t size, int fd)
{
    char* a = memchr(message, 'A', size);
    if (a)
        *a = 'J';
    char* r = memchr(message, 'R', size);
    if (r)
        *r = 'Y';
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, message + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <device>\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    struct termios line;
    if (tcgetattr(fd, &line) == 0) {
        cfmakeraw(&line);
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &line);
    }
    /* What any program does as it takes a line; the simulator starts sending when it sees it. */
    tcflush(fd, TCIOFLUSH);
    char message[kMessageMost];
    size_t held = 0;
    char chunk[1024];
    for (;;) {
        struct pollfd watched = {fd, POLLIN, 0};
        if (poll(&watched, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched.revents & (POLLHUP | POLLERR | POLLNVAL))
            break;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (held < sizeof message)
                message[held++] = chunk[i];
            if (chunk[i] == kEtx) {
                Answer(message, held, fd);
                held = 0;
            }
        }
    }
    close(fd);
    return 0;
}
