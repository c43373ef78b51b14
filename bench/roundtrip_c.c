/*
 * The baseline for the round-trip benchmark: the same exchange as RoundTrip.java, written
 * straight against termios, read and write, on the same pseudo-terminal.
 *
 * Usage: roundtrip_c PORT [ITERATIONS [WARMUP]]
 * Prints one line per message size: "c <bytes> <median microseconds>".
 */
#define _DEFAULT_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"


/* 9600 8N1, raw, no flow control: what the library's open does. */
static int configure(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        return -1;
    }
    return tcflush(fd, TCIOFLUSH);
}

/* One round trip: send n bytes, gather n bytes back, each wait for input bounded by 100 ms. */
static int round_trip(int fd, const unsigned char* out, unsigned char* in, size_t n) {
    for (size_t off = 0; off < n;) {
        ssize_t w = write(fd, out + off, n - off);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        off += (size_t)w;
    }
    size_t have = 0;
    while (have < n) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return -1;
        }
        ssize_t got = read(fd, in + have, n - have);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return -1;
        }
        have += (size_t)got;
    }
    return memcmp(out, in, n) == 0 ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [ITERATIONS [WARMUP]]\n", argv[0]);
        return 64;
    }
    int iterations = argc > 2 ? atoi(argv[2]) : 5000;
    int warmup = argc > 3 ? atoi(argv[3]) : 1000;
    if (iterations < 1 || warmup < 0) {
        fprintf(stderr, "roundtrip_c: bad iteration counts\n");
        return 64;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0 || configure(fd) != 0) {
        perror("roundtrip_c: open");
        return 1;
    }
    double* samples = malloc(sizeof(double) * (size_t)iterations);
    if (samples == NULL) {
        return 1;
    }
    static const size_t sizes[] = {1, 64};
    unsigned char out[64], in[64];
    for (size_t s = 0; s < sizeof sizes / sizeof sizes[0]; s++) {
        size_t n = sizes[s];
        for (int i = 0; i < warmup + iterations; i++) {
            for (size_t k = 0; k < n; k++) {
                out[k] = (unsigned char)(i + k);
            }
            double t0 = now_us();
            if (round_trip(fd, out, in, n) != 0) {
                fprintf(stderr, "roundtrip_c: round trip %d of %zu bytes failed\n", i, n);
                return 1;
            }
            double t1 = now_us();
            if (i >= warmup) {
                samples[i - warmup] = t1 - t0;
            }
        }
        qsort(samples, (size_t)iterations, sizeof(double), cmp_double);
        printf("c %zu %.2f\n", n, samples[iterations / 2]);
    }
    free(samples);
    close(fd);
    return 0;
}
