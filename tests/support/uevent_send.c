/* Sends kernel-format device events to the kernel's group of NETLINK_KOBJECT_UEVENT, for JVM
 * tests of the device watch (Java cannot make the socket). It runs in the test's own network
 * namespace and talks to the test in lines on its standard input and output:
 *
 *     in:  0 add hidraw /devices/virtual/usb1/1-1/hidraw/hidraw7
 *                           an event with the credentials of uid 0: action, subsystem, device path
 *     out: ready            the socket is open
 *          sent 123456789   sent, from that CLOCK_MONOTONIC time in nanoseconds (Java's nanoTime)
 *          failed <reason>  not sent
 *
 * It ends when its input ends. Sending to the group needs CAP_NET_ADMIN in the namespace, and
 * credentials of another uid CAP_SETUID. */
#define _GNU_SOURCE /* struct ucred */
#include <errno.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* Appends "text\0" to the message; -1 when it does not fit. */
static int field(char* msg, size_t* len, size_t size, const char* text) {
    const size_t n = strlen(text) + 1;
    if (*len + n > size) return -1;
    memcpy(msg + *len, text, n);
    *len += n;
    return 0;
}

int main(void) {
    const int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (s < 0) {
        perror("uevent_send: socket");
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("ready\n");
    char line[2048];
    unsigned seqnum = 0;
    while (fgets(line, sizeof line, stdin) != NULL) {
        unsigned uid;
        char action[32], subsystem[64], devpath[1024];
        if (sscanf(line, "%u %31s %63s %1023s", &uid, action, subsystem, devpath) != 4) {
            printf("failed unreadable line\n");
            continue;
        }
        char msg[4096], text[1100];
        size_t len = 0;
        const char* devname = strrchr(devpath, '/') != NULL ? strrchr(devpath, '/') + 1 : devpath;
        int bad = 0;
        snprintf(text, sizeof text, "%s@%s", action, devpath);
        bad |= field(msg, &len, sizeof msg, text);
        snprintf(text, sizeof text, "ACTION=%s", action);
        bad |= field(msg, &len, sizeof msg, text);
        snprintf(text, sizeof text, "DEVPATH=%s", devpath);
        bad |= field(msg, &len, sizeof msg, text);
        snprintf(text, sizeof text, "SUBSYSTEM=%s", subsystem);
        bad |= field(msg, &len, sizeof msg, text);
        snprintf(text, sizeof text, "DEVNAME=%s", devname);
        bad |= field(msg, &len, sizeof msg, text);
        snprintf(text, sizeof text, "SEQNUM=%u", ++seqnum);
        bad |= field(msg, &len, sizeof msg, text);
        if (bad) {
            printf("failed too long\n");
            continue;
        }

        struct sockaddr_nl to;
        memset(&to, 0, sizeof to);
        to.nl_family = AF_NETLINK;
        to.nl_groups = 1;
        struct iovec iov = {msg, len};
        union {
            char buf[CMSG_SPACE(sizeof(struct ucred))];
            struct cmsghdr align;
        } control;
        memset(&control, 0, sizeof control);
        struct msghdr m;
        memset(&m, 0, sizeof m);
        m.msg_name = &to;
        m.msg_namelen = sizeof to;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control.buf;
        m.msg_controllen = sizeof control.buf;
        struct cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        const struct ucred who = {getpid(), (uid_t)uid, 0};
        memcpy(CMSG_DATA(c), &who, sizeof who);

        /* Taken first: the receivers are woken inside the send. */
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (sendmsg(s, &m, 0) != (ssize_t)len) {
            printf("failed %s\n", strerror(errno));
            continue;
        }
        printf("sent %lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    }
    close(s);
    return 0;
}
