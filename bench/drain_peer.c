/*
 * The far end for the per-call benchmark: makes pseudo-terminals (-n, default 2), prints one
 * path a program should open per line, and reads and throws away whatever arrives, so that
 * writes on the near end always find room.
 *
 * It holds each terminal's near end open itself: a far end nobody has opened reports a hang-up
 * to poll at once, which would turn the wait into a busy loop that steals a core from the
 * program being measured. Ends on SIGTERM or SIGINT, or after the idle limit (-t seconds,
 * default 120) without traffic.
 */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define MAX_TERMINALS 8

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
    (void)sig;
    stop = 1;
}

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    double idle_limit = 120;
    int count = 2;
    int opt;
    while ((opt = getopt(argc, argv, "n:t:")) != -1) {
        if (opt == 't') {
            idle_limit = atof(optarg);
        } else if (opt == 'n') {
            count = atoi(optarg);
        } else {
            fprintf(stderr, "usage: %s [-n terminals] [-t idle-seconds]\n", argv[0]);
            return 64;
        }
    }
    if (count < 1 || count > MAX_TERMINALS) {
        fprintf(stderr, "drain_peer: between 1 and %d terminals\n", MAX_TERMINALS);
        return 64;
    }
    if (idle_limit <= 0) {
        idle_limit = 120;
    }
    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    struct pollfd pfd[MAX_TERMINALS];
    for (int i = 0; i < count; i++) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        const char* slave = NULL;
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            (slave = ptsname(master)) == NULL) {
            perror("drain_peer: pseudo-terminal");
            return 1;
        }
        if (open(slave, O_RDWR | O_NOCTTY) < 0) {
            perror("drain_peer: near end");
            return 1;
        }
        printf("%s\n", slave);
        pfd[i].fd = master;
        pfd[i].events = POLLIN;
    }
    fflush(stdout);

    static unsigned char buf[65536];
    double last = now_s();
    while (!stop) {
        int r = poll(pfd, (nfds_t)count, 100);
        if (r < 0 && errno != EINTR) {
            perror("drain_peer: poll");
            return 1;
        }
        for (int i = 0; r > 0 && i < count; i++) {
            if (pfd[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                fprintf(stderr, "drain_peer: terminal %d hung up\n", i);
                return 1;
            }
            if (pfd[i].revents & POLLIN) {
                if (read(pfd[i].fd, buf, sizeof buf) > 0) {
                    last = now_s();
                }
            }
        }
        if (now_s() - last > idle_limit) {
            fprintf(stderr, "drain_peer: idle for %.0f s, ending\n", idle_limit);
            return 2;
        }
    }
    return 0;
}
