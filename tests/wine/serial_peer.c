/* The far ends of the Wine serial tests: pseudo-terminals whose slaves Wine opens as COM ports.
 *
 *   serial_peer LINK [LINK_A LINK_B]
 *
 * Creates a pty for each link and links it to the pty's slave, then prints "ready" and the slaves
 * on standard output. LINK's far end answers every byte that arrives with its complement
 * (b ^ 0xFF), so the test can tell the peer's answer from anything echoed back by the line
 * discipline. LINK_A and LINK_B, when given, are the two ends of a null-modem cable: what one
 * sends the other receives, unchanged, so the test is the far end of a port itself (it drains,
 * counts, stops draining, sends a byte when it chooses).
 *
 * Nothing blocks: a direction whose receiver does not read stops reading its sender once its
 * small buffer is full, and the other directions go on. The peer keeps a descriptor on each slave
 * open itself: without one, each time a port is closed the master would read EIO and the pty
 * would hang up between opens. Runs until it is killed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

/* One direction: bytes read from `from`, changed by `flip`, written to `to`. */
struct direction {
    int from, to;
    unsigned char flip;
    unsigned char buffer[4096];
    size_t length, offset;
};

/* A pty whose slave LINK names; the master's descriptor, or -1 after a message. */
static int open_pty(const char* link, const char** slave_name) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("serial_peer: pty");
        return -1;
    }
    *slave_name = ptsname(master) ? strdup(ptsname(master)) : NULL;
    if (*slave_name == NULL) {
        perror("serial_peer: ptsname");
        return -1;
    }
    int slave = open(*slave_name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        perror("serial_peer: open slave");
        return -1;
    }
    /* Raw from the start: an echoing slave would send our answers straight back to us. */
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0) {
        perror("serial_peer: tcgetattr");
        return -1;
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
        perror("serial_peer: tcsetattr");
        return -1;
    }
    unlink(link);
    if (symlink(*slave_name, link) != 0) {
        fprintf(stderr, "serial_peer: symlink %s: %s\n", link, strerror(errno));
        return -1;
    }
    return master;
}

static int failed(int n) { return n < 0 && errno != EAGAIN && errno != EINTR; }

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: serial_peer LINK [LINK_A LINK_B]\n");
        return 2;
    }
    int masters[3];
    const char* slaves[3];
    for (int i = 1; i < argc; i++) {
        masters[i - 1] = open_pty(argv[i], &slaves[i - 1]);
        if (masters[i - 1] < 0) return 1;
    }
    static struct direction directions[3];
    directions[0] = (struct direction){.from = masters[0], .to = masters[0], .flip = 0xFF};
    size_t count = 1;
    if (argc == 4) {
        directions[1] = (struct direction){.from = masters[1], .to = masters[2]};
        directions[2] = (struct direction){.from = masters[2], .to = masters[1]};
        count = 3;
    }
    printf("ready");
    for (int i = 0; i < argc - 1; i++) printf(" %s", slaves[i]);
    printf("\n");
    fflush(stdout);

    for (;;) {
        /* Per direction: its sender while its buffer is empty, its receiver while it is not. */
        struct pollfd fds[3];
        for (size_t i = 0; i < count; i++) {
            struct direction* d = &directions[i];
            fds[i] = (struct pollfd){.fd = d->length == 0 ? d->from : d->to,
                                     .events = d->length == 0 ? POLLIN : POLLOUT};
        }
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            perror("serial_peer: poll");
            return 1;
        }
        for (size_t i = 0; i < count; i++) {
            struct direction* d = &directions[i];
            if (fds[i].revents == 0) continue;
            if (d->length == 0) {
                ssize_t n = read(d->from, d->buffer, sizeof d->buffer);
                if (failed((int)n)) {
                    perror("serial_peer: read");
                    return 1;
                }
                for (ssize_t k = 0; k < n; k++) d->buffer[k] ^= d->flip;
                d->length = n > 0 ? (size_t)n : 0;
                d->offset = 0;
            } else {
                ssize_t n = write(d->to, d->buffer + d->offset, d->length - d->offset);
                if (failed((int)n)) {
                    perror("serial_peer: write");
                    return 1;
                }
                if (n > 0) d->offset += (size_t)n;
                if (d->offset == d->length) d->length = 0;
            }
        }
    }
}
