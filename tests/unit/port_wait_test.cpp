// The port object's wait for input and the close that ends every wait and pause: through the
// natives, on simulated serial and HID devices and on real pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <future>

#include "hid_support.h"

namespace {

constexpr long kPromptMs = 300;  // a close, and the wait or pause it ends, return within this

// A call on a thread of its own, with a JNI environment of its own.
std::future<jint> Async(std::function<jint(FakeJni&)> call) {
    return std::async(std::launch::async, [call] {
        FakeJni local;
        return call(local);
    });
}

// Waits until a call other than a close holds the port's slot.
bool Inside(jint h) {
    for (auto start = Clock::now(); MsSince(start) < 5000; std::this_thread::yield()) {
        if (PortUse[h].refs.load() == 1) return true;
    }
    return false;
}

jint Await(JNIEnv* env, jint h, jint ms) { return PORT_NATIVE(await)(env, nullptr, h, ms); }

class PortWait : public HidPortTest {
protected:
    jint OpenWaitable(const std::string& name) {
        return PORT_NATIVE(open)(env, nullptr, jni.NewString(name));
    }
    // Closes `h` once `inside` holds, and answers how long the close took; the call that was
    // inside must have ended too.
    long CloseWhen(jint h, const std::function<bool()>& inside, std::future<jint>* call) {
        EXPECT_TRUE(inside()) << "the call never got inside";
        const auto start = Clock::now();
        CloseHid(h);
        const long ms = MsSince(start);
        EXPECT_EQ(call->wait_for(std::chrono::milliseconds(kPromptMs)), std::future_status::ready);
        return ms;
    }
};

TEST_F(PortWait, BadInputGetsTheUsualAnswers) {
    sim::AddSerial("COM1");
    const jint staticPort = Open("COM1");
    ASSERT_EQ(staticPort, 1);
    EXPECT_EQ(Await(env, staticPort, 0), -1);
    EXPECT_EQ(Pending(), "Port was not opened for waiting");
    jni.ClearPending();
    EXPECT_EQ(Await(env, staticPort, -5), -1);
    EXPECT_EQ(Pending(), "Invalid wait time-out");
    jni.ClearPending();
    ASSERT_EQ(Close(staticPort), 0);
    for (jint h : {0, staticPort, 9, 10, -1}) {
        EXPECT_EQ(Await(env, h, 0), -1) << h;
        EXPECT_FALSE(jni.HasPending()) << h << ": a handle that is not open, as the other natives";
    }
}

TEST_F(PortWait, SerialWaitEndsAtInputItsTimeOrAFailure) {
    sim::SerialDevice& dev = sim::AddSerial("COM2");
    const jint h = OpenWaitable("COM2");
    ASSERT_EQ(h, 1) << Pending();
    const auto start = Clock::now();
    EXPECT_EQ(Await(env, h, 40), 0);
    EXPECT_GE(MsSince(start), 40);
    dev.reads = {{1, 2}};
    EXPECT_EQ(Await(env, h, 60000), 1);
    sim::Fail("WaitCommInput", ERROR_DEVICE_NOT_CONNECTED);
    dev.reads.clear();
    EXPECT_EQ(Await(env, h, 0), -1);
    EXPECT_EQ(Pending(), "WaitCommEvent error 1167 on port");
}

// The HID wait sleeps on the event the receive thread sets; a device that goes away is told once
// the bytes it sent have been read.
TEST_F(PortWait, HidWaitWakesForAReportAndTellsOfAGoneDevice) {
    sim::HidDevice& device = sim::AddHid(HidPath("vid_04b8&pid_0202"));
    const jint h = OpenHid("/USB/0x04b8/0x0202");
    ASSERT_EQ(h, 1) << Pending();
    EXPECT_EQ(Await(env, h, 20), 0);
    // Bounded, so that a wait that never wakes fails the test instead of holding it.
    std::future<jint> waiting = Async([h](FakeJni& j) { return Await(j.env(), h, 10000); });
    ASSERT_TRUE(Inside(h));
    Deliver(device, {0, 'A', 'B'});
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1);
    sim::Unplug(device);
    EXPECT_EQ(Await(env, h, 60000), 1) << "what came first is still read first";
    EXPECT_EQ(Read(h, 2), (Bytes{'A', 'B'}));
    EXPECT_EQ(Await(env, h, 60000), -1);
    EXPECT_EQ(Pending(), "ReadFile error 1167 on port");
}

// A close ends, at once: a serial wait, a HID wait, and the pause after a full chunk of a
// serial write, which then sends nothing more.
TEST_F(PortWait, ACloseEndsEveryWaitAndPauseAtOnce) {
    sim::SerialDevice& serial = sim::AddSerial("COM3");
    sim::AddHid(HidPath("vid_1234&pid_0001"));

    jint h = OpenWaitable("COM3");
    std::future<jint> wait = Async([h](FakeJni& j) { return Await(j.env(), h, 60000); });
    EXPECT_LT(CloseWhen(h, [] { return sim::AwaitCalls("WaitCommInput", 1, 5000); }, &wait),
              kPromptMs);
    EXPECT_EQ(wait.get(), -1);

    h = OpenHid("/USB/0x1234/0x0001");
    wait = Async([h](FakeJni& j) { return Await(j.env(), h, 60000); });
    EXPECT_LT(CloseWhen(h, [h] { return Inside(h); }, &wait), kPromptMs);
    EXPECT_EQ(wait.get(), -1);

    h = Open("COM3");
    const jint size = 1 << 20;
    std::future<jint> write = Async([h, size](FakeJni& j) {
        return CALDRIX(PortWrite)(j.env(), nullptr, h, j.NewByteArray(size), size);
    });
    sim::ClearCalls();
    EXPECT_LT(CloseWhen(h, [] { return sim::AwaitCalls("WriteFile", 1, 5000); }, &write),
              kPromptMs);
    EXPECT_EQ(write.get(), -1) << "as a write on a closed port answers";
    EXPECT_EQ(serial.written.size(), 8192u) << "the write stops at the chunk boundary";
}

// Real terminals: the wait on the descriptor, a write beside a pending wait, a hang-up, and a
// close during a multi-chunk write.
class PtyWait : public PortWait {
protected:
    void SetUp() override {
        PortWait::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char name[128] = {};
        ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
        slave = name;
    }
    void TearDown() override {
        if (master >= 0) close(master);
        PortWait::TearDown();
    }
    // Reads what the far end has been sent, waiting up to `ms` for the first piece and a little
    // for each later one.
    size_t Drain(int ms, std::vector<uint8_t>* into = nullptr) {
        size_t total = 0;
        uint8_t buf[4096];
        for (pollfd p = {master, POLLIN, 0}; poll(&p, 1, total == 0 ? ms : 20) > 0 &&
                                             (p.revents & POLLIN);) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            total += static_cast<size_t>(n);
            if (into != nullptr) into->insert(into->end(), buf, buf + n);
        }
        return total;
    }

    int master = -1;
    std::string slave;
};

TEST_F(PtyWait, WaitsForInputBesideAWriteAndTellsOfAHangUp) {
    const jint h = OpenWaitable(slave);
    ASSERT_EQ(h, 1) << Pending();
    EXPECT_EQ(Await(env, h, 0), 0);
    std::future<jint> wait = Async([h](FakeJni& j) { return Await(j.env(), h, 60000); });
    ASSERT_TRUE(Inside(h));
    const Bytes out = {'p', 'i', 'n', 'g'};
    const auto start = Clock::now();
    EXPECT_EQ(CALDRIX(PortWrite)(env, nullptr, h, jni.NewByteArray(out), 4), 0);
    EXPECT_LT(MsSince(start), kPromptMs) << "a pending wait does not hold up a write";
    Bytes got;
    Drain(2000, &got);
    EXPECT_EQ(got, out);
    EXPECT_EQ(wait.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    ASSERT_EQ(write(master, "abc", 3), 3);
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(wait.get(), 1);
    EXPECT_EQ(Count(h), 3);
    EXPECT_EQ(Read(h, 3), (Bytes{'a', 'b', 'c'}));

    close(master);
    master = -1;
    EXPECT_EQ(Await(env, h, 60000), -1);
    EXPECT_EQ(Pending(), "WaitCommEvent error 1167 on port");
}

TEST_F(PtyWait, ACloseDuringAMultiChunkWriteReturnsPromptlyAtAChunkBoundary) {
    const jint h = Open(slave);
    ASSERT_EQ(h, 1) << Pending();
    const jint size = 1 << 20;
    std::future<jint> write = Async([h, size](FakeJni& j) {
        return CALDRIX(PortWrite)(j.env(), nullptr, h, j.NewByteArray(size), size);
    });
    size_t drained = 0;
    auto firstChunk = [&] {
        for (auto start = Clock::now(); drained < 8192 && MsSince(start) < 5000;) {
            drained += Drain(50);
        }
        return drained == 8192;
    };
    EXPECT_LT(CloseWhen(h, firstChunk, &write), kPromptMs);
    EXPECT_EQ(write.get(), -1);
    drained += Drain(50);
    EXPECT_EQ(drained, 8192u) << "nothing after the first chunk";
}

}  // namespace
