/*
 * A pretend USB line display, for the HID half of the demonstration. It puts itself where the
 * library looks for HID devices, runs the program it is given, plays the display for it, and
 * ends when the program ends:
 *
 *     display_sim TREE PROGRAM [ARGUMENTS...]
 *
 * TREE is a folder that run_hid_demo.sh has mounted, in a private mount namespace, over the
 * machine's hidraw class (TREE/hidraw on /sys/class/hidraw) and /dev (TREE/dev on /dev). The
 * display lays itself out there as the kernel shows a real one:
 *
 *     TREE/devices/usb1/1-1                              the USB device: vendor 04b8, product 0202,
 *                                                        one interface
 *       1-1:1.0                                          its interface 0
 *         0003:04B8:0202.0001                            the HID device: uevent (HID_ID) and
 *                                                        report_descriptor
 *           hidraw/hidraw0                               the hidraw node's entry
 *     /sys/class/hidraw/hidraw0 -> that entry
 *     /dev/hidraw0                                       the node
 *
 * The node is a Unix SOCK_SEQPACKET socket rather than a character device; the library connects
 * to such a node instead of opening it. Like hidraw it carries one whole report per read or
 * write, in both directions.
 *
 * The display has one report, ID 3 (its report descriptor is below): written to it, a line of
 * text to show; read from it, the number of a key that was pressed. It prints every line it gets
 * with the report ID in front, and once it has shown two lines, key 5 is pressed.
 *
 * Exit status: the program's, or 1 when the program succeeded but the display did not show two
 * lines and see the port closed; 2 when the display could not be laid out or started.
 */
#define _GNU_SOURCE /* accept4, pipe2 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

enum { REPORT_ID = 0x03, COLUMNS = 20, KEY = 5, LINES_BEFORE_KEY = 2 };

/* Vendor-defined, so the kernel's own HID drivers would leave it to hidraw. The write of a
 * USBHID port carries the report ID of the device's first input value in front, 3 here. */
static const unsigned char report_descriptor[] = {
    0x06, 0x00, 0xff,    /* Usage Page (vendor defined, 0xFF00) */
    0x09, 0x01,          /* Usage (1): the display */
    0xa1, 0x01,          /* Collection (Application) */
    0x85, REPORT_ID,     /*   Report ID (3) */
    0x15, 0x00,          /*   Logical Minimum (0) */
    0x26, 0xff, 0x00,    /*   Logical Maximum (255) */
    0x75, 0x08,          /*   Report Size (8 bits) */
    0x09, 0x02,          /*   Usage (2): the key pressed */
    0x95, 0x01,          /*   Report Count (1) */
    0x81, 0x02,          /*   Input (Data, Variable, Absolute) */
    0x09, 0x03,          /*   Usage (3): a line of text */
    0x95, COLUMNS,       /*   Report Count (20) */
    0x91, 0x02,          /*   Output (Data, Variable, Absolute) */
    0xc0,                /* End Collection */
};

static const char DEVICE[] = "devices/usb1/1-1";
static const char INTERFACE[] = "devices/usb1/1-1/1-1:1.0";
static const char HID[] = "devices/usb1/1-1/1-1:1.0/0003:04B8:0202.0001";
static const char NODE_ENTRY[] = "devices/usb1/1-1/1-1:1.0/0003:04B8:0202.0001/hidraw/hidraw0";
static const char CLASS_LINK[] = "/sys/class/hidraw/hidraw0";
static const char NODE[] = "/dev/hidraw0";

static int child_exited[2]; /* written to by the SIGCHLD handler, read by the main loop */

static void on_child(int sig) {
    (void)sig;
    const int saved = errno;
    const ssize_t r = write(child_exited[1], "x", 1);
    (void)r;
    errno = saved;
}

/* TREE/<relative>, into a buffer of PATH_MAX. */
static const char* in_tree(char* buf, const char* tree, const char* relative) {
    snprintf(buf, PATH_MAX, "%s/%s", tree, relative);
    return buf;
}

/* Makes the folders of a path under the tree, as mkdir -p does. */
static int make_dirs(const char* tree, const char* relative) {
    char path[PATH_MAX];
    in_tree(path, tree, relative);
    for (char* p = path + strlen(tree) + 1;; p++) {
        if (*p == '/' || *p == '\0') {
            const char c = *p;
            *p = '\0';
            if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
            if (c == '\0') return 0;
            *p = c;
        }
    }
}

static int write_file(const char* tree, const char* dir, const char* name, const void* data,
                      size_t n) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s/%s", tree, dir, name);
    FILE* f = fopen(path, "wb");
    if (f == NULL) return -1;
    const int ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok ? 0 : -1;
}

static int write_text(const char* tree, const char* dir, const char* name, const char* text) {
    return write_file(tree, dir, name, text, strlen(text));
}

/* The sysfs entries of the display, and the class link that makes it one of the machine's
 * hidraw nodes. The link is absolute: /sys/class/hidraw is the tree's hidraw folder, mounted
 * from elsewhere, so a relative one would lead out of the tree. */
static int lay_out(const char* tree) {
    char path[PATH_MAX], target[PATH_MAX];
    static const char uevent[] =
        "DRIVER=hid-generic\nHID_ID=0003:000004B8:00000202\nHID_NAME=Demo line display\n";
    if (make_dirs(tree, NODE_ENTRY) != 0 ||
        write_text(tree, DEVICE, "idVendor", "04b8\n") != 0 ||
        write_text(tree, DEVICE, "idProduct", "0202\n") != 0 ||
        write_text(tree, DEVICE, "bNumInterfaces", " 1\n") != 0 ||
        write_text(tree, INTERFACE, "bInterfaceNumber", "00\n") != 0 ||
        write_text(tree, HID, "uevent", uevent) != 0 ||
        write_file(tree, HID, "report_descriptor", report_descriptor,
                   sizeof report_descriptor) != 0) {
        return -1;
    }
    snprintf(path, sizeof path, "%s/%s/device", tree, NODE_ENTRY);
    if (symlink("../../../0003:04B8:0202.0001", path) != 0) return -1;
    return symlink(in_tree(target, tree, NODE_ENTRY), CLASS_LINK);
}

/* The node: a socket at /dev/hidraw0 that the library's open connects to. */
static int listen_at_node(void) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, NODE);
    const int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0 || bind(s, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(s, 1) != 0) {
        return -1;
    }
    return s;
}

static void say(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    fputs("display: ", stdout);
    vprintf(format, ap);
    fputc('\n', stdout);
    va_end(ap);
}

/* What the display does with one report from the host. Returns 1 when it is the line after
 * which the key is pressed. */
static int show(const unsigned char* report, size_t n, int* lines) {
    if (n == 0) return 0;
    /* The text, up to the first NUL of a padded report; anything unprintable as \xNN. */
    char text[4 * 256 + 1];
    size_t t = 0;
    for (size_t i = 1; i < n && report[i] != 0 && t + 5 < sizeof text; i++) {
        const unsigned char c = report[i];
        t += (size_t)snprintf(text + t, sizeof text - t, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x",
                              c);
    }
    text[t] = '\0';
    say("[report %02x] %s", report[0], text);
    if (report[0] != REPORT_ID) return 0;
    return ++*lines == LINES_BEFORE_KEY;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s TREE PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const char* tree = argv[1];
    setvbuf(stdout, NULL, _IOLBF, 0); /* the program prints to the same output */

    const int listener = lay_out(tree) == 0 ? listen_at_node() : -1;
    if (listener < 0) {
        fprintf(stderr, "display_sim: cannot lay out the display under %s: %s\n", tree,
                strerror(errno));
        return 2;
    }
    say("line display 04b8:0202 plugged in as %s", NODE);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_child;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (pipe2(child_exited, O_CLOEXEC | O_NONBLOCK) != 0 || sigaction(SIGCHLD, &sa, NULL) != 0) {
        perror("display_sim");
        return 2;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("display_sim: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        fprintf(stderr, "display_sim: cannot run %s: %s\n", argv[2], strerror(errno));
        _exit(127);
    }

    int conn = -1, lines = 0, closed = 0, status = 0;
    for (int running = 1; running || conn >= 0;) {
        struct pollfd p[3] = {{child_exited[0], POLLIN, 0}, {listener, POLLIN, 0}, {conn, POLLIN, 0}};
        /* Once the program has ended, what it sent before is still read: without waiting. */
        if (poll(p, conn >= 0 ? 3 : 2, running ? -1 : 0) < 0) {
            if (errno == EINTR) continue;
            perror("display_sim: poll");
            break;
        }
        if (conn >= 0 && p[2].revents) {
            unsigned char report[256];
            const ssize_t n = recv(conn, report, sizeof report, 0);
            if (n <= 0) {
                say("closed by the host");
                close(conn);
                conn = -1;
                closed = 1;
            } else if (show(report, (size_t)n, &lines)) {
                const unsigned char key[] = {REPORT_ID, KEY};
                say("key %d pressed: sending [report %02x] %02x", KEY, key[0], key[1]);
                if (send(conn, key, sizeof key, MSG_NOSIGNAL) != (ssize_t)sizeof key) {
                    perror("display_sim: send");
                }
            }
        } else if (!running) {
            break; /* nothing more from a program that has ended */
        }
        if (p[1].revents & POLLIN) {
            const int c = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
            if (c >= 0) {
                if (conn >= 0) close(conn); /* one host at a time, as a node opened anew */
                conn = c;
                say("opened by the host");
            }
        }
        if (running && (p[0].revents & POLLIN) && waitpid(child, &status, WNOHANG) == child) {
            running = 0;
        }
    }
    unlink(NODE);
    if (!WIFEXITED(status)) return 1;
    if (WEXITSTATUS(status) != 0) return WEXITSTATUS(status);
    return lines >= LINES_BEFORE_KEY && closed ? 0 : 1;
}
