// How long a serial PortRead takes, over real pseudo-terminals through the natives: the test
// holds the master side, the library opens the slave by its path. Bounds are loose for a busy
// machine; where a read must return at once, the fastest of a few tries is what counts, since a
// read that waits takes the port's full read wait every time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "unit_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class SerialReadTiming : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
        handle = Open(name);
        ASSERT_EQ(handle, 1) << Pending();
    }
    void TearDown() override {
        StopTrickle();
        if (master >= 0) close(master);
        LibraryTest::TearDown();
    }

    jint Read(jbyteArray buf, jint count) {
        return CALDRIX(PortRead)(env, nullptr, handle, buf, count);
    }
    jint ReadCount() { return CALDRIX(PortGetReadCount)(env, nullptr, handle); }

    // Sends bytes from the far end and waits (at most 5 s) until PortGetReadCount counts them,
    // as a caller would.
    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (ReadCount() < static_cast<jint>(bytes.size())) {
            ASSERT_LT(Clock::now(), until) << "the bytes never arrived";
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // A far end that sends `n` bytes 0, 1, 2, ... one every `gapMs`.
    void StartTrickle(int n, int gapMs) {
        trickling = true;
        trickle = std::thread([this, n, gapMs] {
            for (int i = 0; i < n && trickling; ++i) {
                const uint8_t b = static_cast<uint8_t>(i);
                if (write(master, &b, 1) != 1) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        });
    }
    void StopTrickle() {
        trickling = false;
        if (trickle.joinable()) trickle.join();
    }

    int master = -1;
    jint handle = 0;
    std::atomic<bool> trickling{false};
    std::thread trickle;
};

TEST_F(SerialReadTiming, NothingWaitingWaitsForTheFirstByteOnly) {
    jbyteArray buf = jni.NewByteArray(64, 0xEE);
    const auto start = Clock::now();
    EXPECT_EQ(Read(buf, 64), 0);
    const long ms = MsSince(start);
    EXPECT_FALSE(jni.HasPending()) << Pending();
    EXPECT_GE(ms, SERIAL_READ_WAIT_MS - 10);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(jni.Bytes(buf), Bytes(64, 0xEE));
}

// Whether all of the count or only some of it is waiting, the read takes it and returns at once.
TEST_F(SerialReadTiming, BytesWaitingComeBackAtOnce) {
    for (size_t waiting : {64, 40, 1}) {
        SCOPED_TRACE(waiting);
        long fastest = 1000000;
        for (int attempt = 0; attempt < 3; ++attempt) {
            Bytes sent(waiting);
            for (size_t i = 0; i < waiting; ++i) sent[i] = static_cast<uint8_t>(i + attempt);
            Send(sent);
            jbyteArray buf = jni.NewByteArray(64, 0xEE);
            const auto start = Clock::now();
            EXPECT_EQ(Read(buf, 64), static_cast<jint>(waiting));
            fastest = std::min(fastest, MsSince(start));
            EXPECT_FALSE(jni.HasPending()) << Pending();
            Bytes expected = sent;
            expected.resize(64, 0xEE);
            EXPECT_EQ(jni.Bytes(buf), expected);
        }
        EXPECT_LT(fastest, SERIAL_READ_WAIT_MS / 2) << "the read waited with bytes in hand";
    }
}

// A far end that keeps sending, slower than the line can carry: a read returns with what has come
// rather than following the trickle, and the reads that follow lose nothing.
TEST_F(SerialReadTiming, ATrickleDoesNotHoldTheReadOpen) {
    const int kBytes = 40;
    StartTrickle(kBytes, 25);
    Bytes got;
    long slowest = 0;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (got.size() < static_cast<size_t>(kBytes) && Clock::now() < until) {
        jbyteArray buf = jni.NewByteArray(64);
        const auto start = Clock::now();
        const jint n = Read(buf, 64);
        slowest = std::max(slowest, MsSince(start));
        ASSERT_GE(n, 0) << Pending();
        got.insert(got.end(), jni.Bytes(buf).begin(), jni.Bytes(buf).begin() + n);
    }
    StopTrickle();
    Bytes expected(kBytes);
    for (int i = 0; i < kBytes; ++i) expected[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    EXPECT_EQ(got, expected);
    EXPECT_LT(slowest, 400) << "a read followed the trickle";
}

// The far end gone (the master closed): the read finds the device not connected and returns 0 at
// once without an error; the count and a write raise their messages with the code, so a caller
// learns of it there.
TEST_F(SerialReadTiming, HungUpDevice) {
    ASSERT_EQ(close(master), 0);
    master = -1;
    long fastest = 1000000;
    for (int attempt = 0; attempt < 3; ++attempt) {
        jbyteArray buf = jni.NewByteArray(8, 0xEE);
        const auto start = Clock::now();
        EXPECT_EQ(Read(buf, 8), 0);
        fastest = std::min(fastest, MsSince(start));
        EXPECT_FALSE(jni.HasPending()) << Pending();
        EXPECT_EQ(jni.Bytes(buf), Bytes(8, 0xEE));
    }
    EXPECT_LT(fastest, SERIAL_READ_WAIT_MS / 2);

    EXPECT_EQ(ReadCount(), -1);
    EXPECT_EQ(Pending(), "ClearCommError 1167 on port");
    jni.ClearPending();
    EXPECT_EQ(CALDRIX(PortWrite)(env, nullptr, handle, jni.NewByteArray(Bytes{1, 2, 3}), 3), -1);
    EXPECT_EQ(Pending(), "WriteFile: GetLastError=1167");
}

}  // namespace
