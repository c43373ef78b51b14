/* The far end of the Wine serial tests: a pseudo-terminal whose slave Wine opens as COM5.
 *
 *   serial_peer LINK
 *
 * Creates a pty, links LINK to its slave, prints "ready <slave>" on standard output once the
 * link is in place, then answers every byte that arrives with its complement (b ^ 0xFF), so the
 * test can tell the peer's answer from anything echoed back by the line discipline. It keeps a
 * descriptor on the slave open itself: without one, each time the port is closed the master
 * would read EIO and the pty would hang up between opens. Runs until it is killed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int write_all(int fd, const unsigned char* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bytes += n;
        length -= (size_t)n;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: serial_peer LINK\n");
        return 2;
    }
    const char* link = argv[1];

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("serial_peer: pty");
        return 1;
    }
    const char* slave_name = ptsname(master);
    if (slave_name == NULL) {
        perror("serial_peer: ptsname");
        return 1;
    }
    int slave = open(slave_name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        perror("serial_peer: open slave");
        return 1;
    }
    /* Raw from the start: an echoing slave would send our answers straight back to us. */
    struct termios tio;
    if (tcgetattr(slave, &tio) != 0) {
        perror("serial_peer: tcgetattr");
        return 1;
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
        perror("serial_peer: tcsetattr");
        return 1;
    }

    unlink(link);
    if (symlink(slave_name, link) != 0) {
        fprintf(stderr, "serial_peer: symlink %s: %s\n", link, strerror(errno));
        return 1;
    }
    printf("ready %s\n", slave_name);
    fflush(stdout);

    unsigned char buffer[4096];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("serial_peer: read");
            return 1;
        }
        if (n == 0) continue;
        for (ssize_t i = 0; i < n; i++) buffer[i] ^= 0xFF;
        if (write_all(master, buffer, (size_t)n) != 0) {
            perror("serial_peer: write");
            return 1;
        }
    }
}
