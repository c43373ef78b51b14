/* The far end of a stand-in hidraw node, for tests in a JVM (which cannot make the socket): it
 * listens on a Unix SOCK_SEQPACKET socket at the node's path, which keeps report boundaries in
 * both directions, and talks to the test in lines on its standard input and output:
 *
 *     in:  send 02 68 69      one report to the library (hex bytes)
 *          hangup             the device is unplugged: the connection ends
 *     out: listening          ready for the library's open
 *          connected          the library has opened the node
 *          got 02 61 62 63    one report the library wrote
 *          closed             the library has closed the node
 *
 * It ends when its input ends, and removes the socket. */
#define _GNU_SOURCE /* accept4 */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static int send_hex(int conn, const char* hex) {
    unsigned char report[4096];
    size_t n = 0;
    char* end;
    for (;;) {
        const unsigned long b = strtoul(hex, &end, 16);
        if (end == hex) break;
        if (b > 0xFF || n == sizeof report) return -1;
        report[n++] = (unsigned char)b;
        hex = end;
    }
    return conn >= 0 && send(conn, report, n, MSG_NOSIGNAL) == (ssize_t)n ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <node path>\n", argv[0]);
        return 2;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof addr.sun_path) return 2;
    strcpy(addr.sun_path, argv[1]);
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    unlink(argv[1]);
    if (listener < 0 || bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0 ||
        listen(listener, 4) != 0) {
        perror("hid_peer");
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("listening\n");

    int conn = -1;
    char line[16384];
    size_t have = 0;
    for (;;) {
        struct pollfd p[3] = {{0, POLLIN, 0}, {listener, POLLIN, 0}, {conn, POLLIN, 0}};
        if (poll(p, conn >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents & POLLIN) {
            if (conn >= 0) close(conn);
            conn = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
            if (conn >= 0) printf("connected\n");
        }
        if (conn >= 0 && p[2].revents) {
            unsigned char buf[9000];
            const ssize_t n = recv(conn, buf, sizeof buf, 0);
            if (n <= 0) {
                close(conn);
                conn = -1;
                printf("closed\n");
            } else {
                printf("got");
                for (ssize_t i = 0; i < n; ++i) printf(" %02x", buf[i]);
                printf("\n");
            }
        }
        if (p[0].revents) {
            const ssize_t n = read(0, line + have, sizeof line - 1 - have);
            if (n <= 0) break;
            have += (size_t)n;
            line[have] = '\0';
            char* nl;
            while ((nl = strchr(line, '\n')) != NULL) {
                *nl = '\0';
                if (strncmp(line, "send ", 5) == 0) {
                    if (send_hex(conn, line + 5) != 0) printf("send failed\n");
                } else if (strcmp(line, "hangup") == 0) {
                    if (conn >= 0) close(conn);
                    conn = -1;
                    printf("hung up\n");
                }
                have -= (size_t)(nl + 1 - line);
                memmove(line, nl + 1, have + 1);
            }
            if (have == sizeof line - 1) have = 0; /* a line too long for anyone: dropped */
        }
    }
    if (conn >= 0) close(conn);
    close(listener);
    unlink(argv[1]);
    return 0;
}
