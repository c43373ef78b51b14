/*
 * The baseline for the throughput benchmark: what Throughput.java does, written straight
 * against read and write on a terminal set up as the library sets it up (plain_tty.h).
 *
 * Usage: throughput_c write|pair PORT BATCHES SECONDS
 *   write  write() of 4096 bytes, again and again, to a terminal whose far end is drained.
 *   pair   one thread writes 4 KiB pieces while another reads what the far end echoes; the
 *          writer keeps at most WINDOW bytes ahead of the reader.
 * One untimed batch of SECONDS warms up, then BATCHES are timed. Prints "c write|pair <median
 * MB/s>" (MB: 10^6 bytes, counted one way).
 */
#define _DEFAULT_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"

#include "plain_tty.h"

enum { CHUNK = 4096, WINDOW = 16384, READ_WAIT_MS = 5000 };

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}


/* All n bytes, waiting for room when the terminal's queue is full. */
static int write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= (size_t)w;
        } else if (w < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            if (poll(&pfd, 1, READ_WAIT_MS) <= 0) {
                return -1;
            }
        } else if (w < 0 && errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

/* What has arrived, at least one byte; -1 when nothing comes within READ_WAIT_MS. */
static ssize_t read_some(int fd, unsigned char* p, size_t n) {
    for (;;) {
        ssize_t r = read(fd, p, n);
        if (r > 0) {
            return r;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r == 0 || errno != EAGAIN) {
            return -1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, READ_WAIT_MS) <= 0) {
            return -1;
        }
    }
}

static double write_batch(int fd, double seconds) {
    static unsigned char buf[CHUNK];
    memset(buf, 'w', sizeof buf);
    double start = now_s(), end = start + seconds, t;
    long long bytes = 0;
    do {
        if (write_all(fd, buf, sizeof buf) != 0) {
            perror("throughput_c: write");
            exit(1);
        }
        bytes += CHUNK;
    } while ((t = now_s()) < end);
    return (double)bytes / 1e6 / (t - start);
}

/* The pair: the writer's side and what both threads share. */
struct pair {
    int fd;
    double deadline;
    pthread_mutex_t lock;
    pthread_cond_t room;
    long long written; /* the writer's alone */
    long long read;    /* under lock */
    long long last;    /* under lock: the total once the writer has decided to stop, else -1 */
    int failed;
};

static void* pair_writer(void* arg) {
    struct pair* p = arg;
    static unsigned char buf[CHUNK];
    memset(buf, 'p', sizeof buf);
    for (int last = 0; !last;) {
        last = now_s() >= p->deadline;
        pthread_mutex_lock(&p->lock);
        while (p->written - p->read > WINDOW - CHUNK) {
            pthread_cond_wait(&p->room, &p->lock);
        }
        /* Decided before the last piece goes out, so the reader cannot have read it all yet. */
        if (last) {
            p->last = p->written + CHUNK;
        }
        pthread_mutex_unlock(&p->lock);
        if (write_all(p->fd, buf, sizeof buf) != 0) {
            perror("throughput_c: pair write");
            exit(1);
        }
        p->written += CHUNK;
    }
    return NULL;
}

static double pair_batch(int fd, double seconds) {
    struct pair p;
    memset(&p, 0, sizeof p);
    p.fd = fd;
    p.last = -1;
    pthread_mutex_init(&p.lock, NULL);
    pthread_cond_init(&p.room, NULL);
    unsigned char buf[CHUNK];
    double start = now_s();
    p.deadline = start + seconds;
    pthread_t writer;
    if (pthread_create(&writer, NULL, pair_writer, &p) != 0) {
        fprintf(stderr, "throughput_c: no writer thread\n");
        exit(1);
    }
    for (int done = 0; !done;) {
        ssize_t n = read_some(fd, buf, sizeof buf);
        if (n < 0) {
            fprintf(stderr, "throughput_c: nothing came back within %d ms\n", READ_WAIT_MS);
            exit(1);
        }
        pthread_mutex_lock(&p.lock);
        p.read += n;
        pthread_cond_signal(&p.room);
        done = p.last >= 0 && p.read >= p.last;
        pthread_mutex_unlock(&p.lock);
    }
    double t = now_s();
    pthread_join(writer, NULL);
    pthread_mutex_destroy(&p.lock);
    pthread_cond_destroy(&p.room);
    return (double)p.read / 1e6 / (t - start);
}

int main(int argc, char** argv) {
    if (argc != 5 || (strcmp(argv[1], "write") != 0 && strcmp(argv[1], "pair") != 0)) {
        fprintf(stderr, "usage: %s write|pair PORT BATCHES SECONDS\n", argv[0]);
        return 64;
    }
    int pair = strcmp(argv[1], "pair") == 0;
    int batches = atoi(argv[3]);
    double seconds = atof(argv[4]);
    if (batches < 1 || seconds <= 0) {
        fprintf(stderr, "throughput_c: bad batch count or length\n");
        return 64;
    }
    int fd = plain_tty_open(argv[2]);
    if (fd < 0) {
        fprintf(stderr, "throughput_c: open %s: %s\n", argv[2], strerror(-fd));
        return 1;
    }
    double* rates = malloc(sizeof(double) * (size_t)batches);
    if (rates == NULL) {
        return 1;
    }
    for (int b = -1; b < batches; b++) {
        double rate = pair ? pair_batch(fd, seconds) : write_batch(fd, seconds);
        if (b >= 0) {
            rates[b] = rate;
        }
    }
    qsort(rates, (size_t)batches, sizeof(double), cmp_double);
    double median = batches % 2 ? rates[batches / 2]
                                : (rates[batches / 2 - 1] + rates[batches / 2]) / 2;
    printf("c %s %.1f\n", argv[1], median);
    free(rates);
    close(fd);
    return 0;
}
