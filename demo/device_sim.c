/*
 * A pretend receipt printer on a pseudo-terminal, for the demonstration.
 *
 * It prints the path of the terminal that a program should open as its serial port, then
 * answers what arrives on it:
 *   DLE EOT n (0x10 0x04 n), n = 1..4   one status byte: 0x16 for n = 1 (on line, cover shut),
 *                                       0x12 for the others (no error, paper present)
 *   a text line ending in LF            "OK <n> bytes\r\n", n counting the line without CR/LF
 * Everything it receives and sends is logged on standard error.
 *
 * It ends with status 0 when the port, having been used, is closed, and with status 2 when
 * nothing has happened for the idle limit (-t seconds, default 30).
 */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { DLE = 0x10, EOT = 0x04, LINE_MAX_BYTES = 256 };

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int send_all(int fd, const void* data, size_t n) {
    const unsigned char* p = data;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static void log_bytes(const char* what, const unsigned char* b, size_t n) {
    fprintf(stderr, "  [device] %s %zu byte%s:", what, n, n == 1 ? "" : "s");
    for (size_t i = 0; i < n; i++) {
        fprintf(stderr, " %02x", b[i]);
    }
    fprintf(stderr, "\n");
}

/* What the device has parsed so far of its input. */
struct parser {
    int state; /* 0 text, 1 after DLE, 2 after DLE EOT */
    unsigned char line[LINE_MAX_BYTES];
    size_t line_len;
};

static int answer_status(int fd, unsigned char n) {
    if (n < 1 || n > 4) {
        fprintf(stderr, "  [device] DLE EOT %u: no such status, no answer\n", n);
        return 0;
    }
    unsigned char status = n == 1 ? 0x16 : 0x12;
    fprintf(stderr, "  [device] DLE EOT %u: status 0x%02x\n", n, status);
    return send_all(fd, &status, 1);
}

static int answer_line(int fd, struct parser* p) {
    size_t n = p->line_len;
    while (n > 0 && (p->line[n - 1] == '\n' || p->line[n - 1] == '\r')) {
        n--;
    }
    char reply[64];
    int len = snprintf(reply, sizeof reply, "OK %zu bytes\r\n", n);
    fprintf(stderr, "  [device] line \"%.*s\": answering \"OK %zu bytes\"\n", (int)n,
            (const char*)p->line, n);
    p->line_len = 0;
    return send_all(fd, reply, (size_t)len);
}

static int feed(int fd, struct parser* p, const unsigned char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char c = b[i];
        if (p->state == 1) {
            p->state = c == EOT ? 2 : 0;
            if (p->state == 2) {
                continue;
            }
        } else if (p->state == 2) {
            p->state = 0;
            if (answer_status(fd, c) != 0) {
                return -1;
            }
            continue;
        }
        if (c == DLE && p->line_len == 0) {
            p->state = 1;
            continue;
        }
        p->line[p->line_len++] = c;
        if (c == '\n' || p->line_len == sizeof p->line) {
            if (answer_line(fd, p) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    double idle_limit = 30;
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
        idle_limit = 30;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("device_sim: pseudo-terminal");
        return 1;
    }
    const char* slave = ptsname(master);
    if (slave == NULL) {
        perror("device_sim: ptsname");
        return 1;
    }
    printf("%s\n", slave);
    fflush(stdout);
    fprintf(stderr, "  [device] receipt printer listening on %s\n", slave);

    struct parser parser;
    memset(&parser, 0, sizeof parser);
    int used = 0;
    double last = now_s();
    for (;;) {
        if (now_s() - last > idle_limit) {
            fprintf(stderr, "  [device] idle for %.0f s, giving up\n", idle_limit);
            return 2;
        }
        struct pollfd pfd = {master, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("device_sim: poll");
            return 1;
        }
        if (r == 0) {
            continue;
        }
        if (pfd.revents & POLLIN) {
            unsigned char buf[512];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                used = 1;
                last = now_s();
                log_bytes("received", buf, (size_t)n);
                if (feed(master, &parser, buf, (size_t)n) != 0) {
                    perror("device_sim: write");
                    return 1;
                }
                continue;
            }
        }
        if (pfd.revents & (POLLHUP | POLLERR)) {
            if (used) {
                fprintf(stderr, "  [device] port closed, switching off\n");
                return 0;
            }
            /* Nobody has the terminal open yet: the hang-up is reported without waiting. */
            struct timespec nap = {0, 20 * 1000 * 1000};
            nanosleep(&nap, NULL);
        }
    }
}
