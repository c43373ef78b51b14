// The device watch on Linux, fed with kernel-format device events sent on a netlink socket in a
// private network namespace of the test's own, so that no real event interferes. Needs root.
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "listing/watch.h"
#include "unit_support.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace watch = caldrix_watch;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class DeviceWatch : public ::testing::Test {
protected:
    void SetUp() override {
        home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(home, 0);
        if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "a private network namespace needs root";
        sender = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        ASSERT_GE(sender, 0);
    }
    void TearDown() override {
        for (int32_t id : opened) watch::CloseWatch(id);
        if (sender >= 0) close(sender);
        // Back to the namespace the other tests use.
        ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
        close(home);
    }

    int32_t Open() {
        uint32_t error = 0;
        const int32_t id = watch::OpenWatch(&error);
        EXPECT_GE(id, 0) << "error " << error;
        opened.push_back(id);
        return id;
    }

    // A kernel-format event about a node of `subsystem`, sent to the kernel's group with the
    // credentials of `uid`.
    void Send(const std::string& subsystem, uid_t uid = 0) {
        std::string m = "add@/devices/virtual/" + subsystem + "/node";
        m += '\0';
        for (std::string field : {"ACTION=add", "DEVPATH=/devices/virtual/x/node", "SEQNUM=1"}) {
            m += field;
            m += '\0';
        }
        m += "SUBSYSTEM=" + subsystem;
        m += '\0';
        struct sockaddr_nl to;
        memset(&to, 0, sizeof to);
        to.nl_family = AF_NETLINK;
        to.nl_groups = 1;
        struct iovec iov = {&m[0], m.size()};
        char control[CMSG_SPACE(sizeof(struct ucred))] = {};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        const struct ucred who = {getpid(), uid, 0};
        memcpy(CMSG_DATA(c), &who, sizeof who);
        ASSERT_EQ(sendmsg(sender, &msg, 0), static_cast<ssize_t>(m.size())) << strerror(errno);
    }

    int home = -1;
    int sender = -1;
    std::vector<int32_t> opened;
};

TEST_F(DeviceWatch, TellsTheKindOfEachEventFromRootOnlyToEveryWatch) {
    const int32_t a = Open(), b = Open();
    struct Row {
        const char* subsystem;
        uid_t uid;
        int32_t kinds;
    };
    const Row rows[] = {{"tty", 0, watch::kSerial},     {"hidraw", 0, watch::kHid},
                        {"usbmisc", 0, watch::kPrinter}, {"net", 0, 0},
                        {"hidraw", 65534, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.subsystem) + " from uid " + std::to_string(row.uid));
        Send(row.subsystem, row.uid);
        EXPECT_EQ(watch::AwaitWatch(a, 200), row.kinds);
        EXPECT_EQ(watch::AwaitWatch(b, 0), row.kinds) << "the second watch is told too";
    }
}

// A flood beyond the receive buffer loses events: the watch then says every kind may have changed.
TEST_F(DeviceWatch, AFullReceiveBufferMeansEveryKind) {
    const int32_t id = Open();
    for (int i = 0; i < 20000; ++i) Send("tty");
    EXPECT_EQ(watch::AwaitWatch(id, 1000), watch::kAllKinds);
}

TEST_F(DeviceWatch, AnIdleWaitCostsNoWakeupsAndAStopEndsItAtOnce) {
    const int32_t id = Open();
    std::promise<pid_t> tid;
    std::future<int32_t> wait = std::async(std::launch::async, [&] {
        tid.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
        return watch::AwaitWatch(id, 0xFFFFFFFFu);
    });
    const long thread = tid.get_future().get();
    ASSERT_TRUE(AwaitAsleep(thread)) << "the wait never went to sleep";
    const long before = VoluntarySwitches(thread);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(VoluntarySwitches(thread) - before, 1) << "the idle wait woke";

    const auto start = Clock::now();
    watch::StopWatch(id);
    ASSERT_EQ(wait.wait_for(std::chrono::milliseconds(300)), std::future_status::ready);
    EXPECT_LT(MsSince(start), 300);
    EXPECT_EQ(wait.get(), -1);
    EXPECT_EQ(watch::AwaitWatch(id, 0), -1) << "stopped for good";
    for (int32_t bad : {-1, watch::kMaxWatches, 15}) EXPECT_EQ(watch::AwaitWatch(bad, 0), -1);
}

// The natives answer bad input as the others do and name a failure by its code. (What the listing
// native gives is compared with caldrix-ports' output in the JVM, by PortListingTest.)
TEST_F(DeviceWatch, NativesRefuseBadInputAndNameTheirFailures) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    std::vector<jint> ids;
    for (jint id; (id = WATCH_NATIVE(open)(env, nullptr)) >= 0;) ids.push_back(id);
    EXPECT_EQ(ids.size(), static_cast<size_t>(watch::kMaxWatches));
    EXPECT_EQ(jni.PendingMessage(), "Device watch error 24");
    jni.ClearPending();
    EXPECT_EQ(WATCH_NATIVE(await)(env, nullptr, ids[0], -1), -1);
    EXPECT_EQ(jni.PendingMessage(), "Invalid wait time-out");
    jni.ClearPending();
    for (jint id : ids) WATCH_NATIVE(close)(env, nullptr, id);
    EXPECT_EQ(WATCH_NATIVE(await)(env, nullptr, ids[0], 0), -1) << "a closed watch";
    WATCH_NATIVE(stop)(env, nullptr, 99);
    WATCH_NATIVE(close)(env, nullptr, -3);
    EXPECT_FALSE(jni.HasPending());
}

}  // namespace
