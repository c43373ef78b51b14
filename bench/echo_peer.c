/*
 * The far end for the round-trip benchmark: makes a pseudo-terminal, prints the path a
 * program should open, and sends back every byte that arrives, as fast as it can.
 *
 * It keeps running while programs open and close the terminal one after another, and ends on
 * SIGTERM or SIGINT, or after the idle limit (-t seconds, default 120) without traffic.
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
    int opt;
    while ((opt = getopt(argc, argv, "t:")) != -1) {
        if (opt == 't') {
            idle_limit = atof(optarg);
        } else {
            fprintf(stderr, "usage: %s [-t idle-seconds]\n", argv[0]);
            return 64;
        }
    }
    if (idle_limit <= 0) {
        idle_limit = 120;
    }
    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("echo_peer: pseudo-terminal");
        return 1;
    }
    const char* slave = ptsname(master);
    if (slave == NULL) {
        perror("echo_peer: ptsname");
        return 1;
    }
    printf("%s\n", slave);
    fflush(stdout);

    unsigned char buf[4096];
    double last = now_s();
    while (!stop) {
        struct pollfd pfd = {master, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r < 0 && errno != EINTR) {
            perror("echo_peer: poll");
            return 1;
        }
        if (r > 0 && (pfd.revents & POLLIN)) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                last = now_s();
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = write(master, buf + off, (size_t)(n - off));
                    if (w < 0) {
                        if (errno == EINTR) {
                            continue;
                        }
                        perror("echo_peer: write");
                        return 1;
                    }
                    off += w;
                }
                continue;
            }
        }
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR))) {
            /* Nobody has the terminal open between two runs: the hang-up does not wait. */
            struct timespec nap = {0, 2 * 1000 * 1000};
            nanosleep(&nap, NULL);
        }
        if (now_s() - last > idle_limit) {
            fprintf(stderr, "echo_peer: idle for %.0f s, ending\n", idle_limit);
            return 2;
        }
    }
    return 0;
}
