/*
 * A terminal opened and set up as the library's open and PortSetParams(9600, 8, 1, 0) leave it
 * (stty -a shows the same; run_bench.sh syscalls checks it): non-blocking, raw, 8N1, breaks
 * ignored, no flow-control characters. Shared by the benchmark's C baselines.
 */
#ifndef CALDRIX_BENCH_PLAIN_TTY_H
#define CALDRIX_BENCH_PLAIN_TTY_H

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

/* Returns the descriptor, or -errno. */
static inline int plain_tty_open(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_iflag |= IGNBRK;
    t.c_cc[VSTART] = _POSIX_VDISABLE;
    t.c_cc[VSTOP] = _POSIX_VDISABLE;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

#endif
