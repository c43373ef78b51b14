/*
 * The baseline for the events benchmark: what Events.java measures of a port object's listener,
 * done in plain C. A receiving thread waits in poll() on a pseudo-terminal set up as the library
 * sets it up and takes the time when a byte has come; event_peer writes one byte at a time from
 * the far end, on the main thread's word, and says when it wrote it. Then the receiving thread is
 * left waiting for a while, and its voluntary context switches are counted.
 *
 * Usage: events_c PEER [ITERATIONS [WARMUP [IDLE_SECONDS]]]
 * Prints "c latency <median microseconds>" and "c idle <voluntary context switches a second>".
 */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"
#include "plain_tty.h"

static int tty;
static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t came = PTHREAD_COND_INITIALIZER;
static long long arrived_ns = -1;
static pid_t receiver_tid;

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void* receive(void* arg) {
    (void)arg;
    pthread_mutex_lock(&mu);
    receiver_tid = (pid_t)syscall(SYS_gettid);
    pthread_mutex_unlock(&mu);
    unsigned char buf[64];
    for (;;) {
        struct pollfd p = {tty, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return NULL;
        }
        ssize_t n = read(tty, buf, sizeof buf);
        long long t = now_ns();
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return NULL;
        }
        pthread_mutex_lock(&mu);
        arrived_ns = t;
        pthread_cond_signal(&came);
        pthread_mutex_unlock(&mu);
    }
}

static long long voluntary_switches(pid_t tid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/self/task/%d/status", (int)tid);
    FILE* f = fopen(path, "r");
    long long v = -1;
    while (f != NULL && fgets(line, sizeof line, f) != NULL) {
        if (sscanf(line, "voluntary_ctxt_switches: %lld", &v) == 1) break;
    }
    if (f != NULL) fclose(f);
    return v;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PEER [ITERATIONS [WARMUP [IDLE_SECONDS]]]\n", argv[0]);
        return 64;
    }
    int iterations = argc > 2 ? atoi(argv[2]) : 3000;
    int warmup = argc > 3 ? atoi(argv[3]) : 5000;
    int idle = argc > 4 ? atoi(argv[4]) : 3;
    if (iterations < 1 || warmup < 0 || idle < 1) {
        fprintf(stderr, "events_c: bad counts\n");
        return 64;
    }
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) return 1;
    pid_t peer = fork();
    if (peer == 0) {
        dup2(to[0], 0);
        dup2(from[1], 1);
        close(to[1]);
        close(from[0]);
        execl(argv[1], argv[1], (char*)NULL);
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    FILE* in = fdopen(from[0], "r");
    char line[4096];
    if (peer < 0 || in == NULL || fgets(line, sizeof line, in) == NULL) {
        fprintf(stderr, "events_c: the peer did not start\n");
        return 1;
    }
    line[strcspn(line, "\n")] = '\0';
    tty = plain_tty_open(line);
    if (tty < 0) {
        fprintf(stderr, "events_c: open %s: %s\n", line, strerror(-tty));
        return 1;
    }
    pthread_t t;
    if (pthread_create(&t, NULL, receive, NULL) != 0) return 1;

    double* samples = malloc(sizeof(double) * (size_t)iterations);
    if (samples == NULL) return 1;
    for (int i = 0; i < warmup + iterations; i++) {
        pthread_mutex_lock(&mu);
        arrived_ns = -1;
        pthread_mutex_unlock(&mu);
        if (write(to[1], "\n", 1) != 1) return 1;
        struct timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 5;
        pthread_mutex_lock(&mu);
        while (arrived_ns < 0) {
            if (pthread_cond_timedwait(&came, &mu, &limit) == ETIMEDOUT) {
                fprintf(stderr, "events_c: byte %d did not come within 5 s\n", i);
                return 1;
            }
        }
        long long t1 = arrived_ns;
        pthread_mutex_unlock(&mu);
        if (fgets(line, sizeof line, in) == NULL) return 1;
        long long t0 = atoll(line);
        if (i >= warmup) samples[i - warmup] = (double)(t1 - t0) / 1e3;
    }
    qsort(samples, (size_t)iterations, sizeof(double), cmp_double);
    printf("c latency %.2f\n", samples[iterations / 2]);

    pthread_mutex_lock(&mu);
    pid_t tid = receiver_tid;
    pthread_mutex_unlock(&mu);
    long long before = voluntary_switches(tid);
    sleep((unsigned)idle);
    long long after = voluntary_switches(tid);
    printf("c idle %.2f\n", (double)(after - before) / idle);
    fflush(stdout);

    close(to[1]);
    waitpid(peer, NULL, 0);
    free(samples);
    return 0;
}
