#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <numeric>
#include <string>

#include "serial/serial.h"
#include "unit_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SerialIo : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        handle = OpenSerial("COM1:", &dev);
        ASSERT_EQ(handle, 1);
    }
    jint Read(jbyteArray buf, jint count) {
        return CALDRIX(PortRead)(env, nullptr, handle, buf, count);
    }
    jint Write(jbyteArray buf, jint count) {
        return CALDRIX(PortWrite)(env, nullptr, handle, buf, count);
    }
    // The WriteFile sizes, in order.
    std::vector<std::string> WriteTrace() {
        std::vector<std::string> trace;
        for (const sim::Call& c : sim::Calls()) {
            if (c.fn == "WriteFile") trace.push_back("W" + std::to_string(c.args.at(0)));
        }
        return trace;
    }
    // The ReadFile sizes ("R<n>") and ClearCommError calls ("C"), in order.
    std::vector<std::string> ReadTrace() {
        std::vector<std::string> trace;
        for (const sim::Call& c : sim::Calls()) {
            if (c.fn == "ReadFile") trace.push_back("R" + std::to_string(c.args.at(0)));
            if (c.fn == "ClearCommError") trace.push_back("C");
        }
        return trace;
    }
    // PortRead or PortWrite of `count` bytes on a thread of its own, with an environment of its
    // own; a read's bytes go to *got.
    std::future<jint> Start(bool write, jint count, Bytes* got = nullptr) {
        return std::async(std::launch::async, [this, write, count, got] {
            FakeJni local;
            jbyteArray buf = local.NewByteArray(static_cast<size_t>(count), 0x5A);
            const jint r = write ? CALDRIX(PortWrite)(local.env(), nullptr, handle, buf, count)
                                 : CALDRIX(PortRead)(local.env(), nullptr, handle, buf, count);
            if (got != nullptr && r > 0) {
                const Bytes& all = local.Bytes(buf);
                *got = Bytes(all.begin(), all.begin() + r);
            }
            return r;
        });
    }
    static Bytes Pattern(size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
        return b;
    }

    jint handle = 0;
    sim::SerialDevice* dev = nullptr;
};

// What is waiting is a scripted read still to come: the simulation's ClearCommError counts them
// all. Each case is one PortRead and the calls it made.
TEST_F(SerialIo, ReadWaitsOnlyForTheFirstByteThenTakesWhatIsWaiting) {
    struct Case {
        const char* what;
        std::deque<Bytes> waiting;
        jint count;
        jint result;
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        {"nothing waiting: one call, which may wait", {}, 64, 0, {"R1"}},
        {"enough waiting", {Pattern(64)}, 64, 64, {"R1", "C", "R63"}},
        {"more waiting than asked for", {Pattern(70)}, 64, 64, {"R1", "C", "R63"}},
        {"fewer waiting: asks for no more than are there", {Pattern(40)}, 64, 40,
         {"R1", "C", "R39", "C"}},
        {"a call bringing less than was counted goes on", {{1}, {2}, {3, 4}}, 4, 4,
         {"R1", "C", "R3", "C", "R2"}},
        {"a one-byte read makes one call", {Pattern(5)}, 1, 1, {"R1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ClearCalls();
        dev->reads = c.waiting;
        Bytes expected;
        for (const Bytes& chunk : c.waiting) {
            expected.insert(expected.end(), chunk.begin(), chunk.end());
        }
        expected.resize(static_cast<size_t>(c.result));
        expected.resize(static_cast<size_t>(c.count) + 2, 0xEE);

        jbyteArray buf = jni.NewByteArray(static_cast<size_t>(c.count) + 2, 0xEE);
        EXPECT_EQ(Read(buf, c.count), c.result);
        EXPECT_FALSE(jni.HasPending()) << Pending();
        EXPECT_EQ(jni.Bytes(buf), expected);
        EXPECT_EQ(ReadTrace(), c.trace);
    }
}

TEST_F(SerialIo, ReadFailureAfterBytesRaisesButKeepsTheBytes) {
    dev->reads = {{1, 2}, {3}};
    sim::Fail("ReadFile", 1167, 2);
    jbyteArray buf = jni.NewByteArray(6, 0);
    EXPECT_EQ(Read(buf, 6), -1);
    EXPECT_EQ(Pending(), "ReadFile error 1167 on port");
    EXPECT_EQ(jni.Bytes(buf), (Bytes{1, 2, 0, 0, 0, 0}));
    jni.ClearPending();

    sim::Fail("ReadFile", static_cast<DWORD>(-31));  // the very first call
    buf = jni.NewByteArray(6, 0);
    EXPECT_EQ(Read(buf, 6), -1);
    EXPECT_EQ(Pending(), "ReadFile error -31 on port");
    EXPECT_EQ(jni.Bytes(buf), (Bytes{3, 0, 0, 0, 0, 0}));
}

// A call that brings nothing ends the read with what it has, failing or not; so does a
// ClearCommError that fails or reports a line error. None of them raises.
TEST_F(SerialIo, ReadEndsQuietlyOnACallThatBringsNothing) {
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "the call fails" : "the call succeeds");
        // The empty chunk stands for bytes counted as waiting and gone before the call (a purge
        // from another thread).
        dev->reads = {{5}, {}, {6}};
        if (failing) sim::Fail("ReadFile", 1167, 2);
        jbyteArray buf = jni.NewByteArray(3, 0);
        EXPECT_EQ(Read(buf, 3), 1);
        EXPECT_FALSE(jni.HasPending());
        EXPECT_EQ(jni.Bytes(buf), (Bytes{5, 0, 0}));
    }
}

// After the first byte: a ClearCommError that fails, or that reports a line error (here without
// fAbortOnError, so the error refuses nothing), ends the read with that byte.
TEST_F(SerialIo, ReadStopsWhenTheQueueCannotSayMore) {
    for (bool lineError : {false, true}) {
        SCOPED_TRACE(lineError ? "line error" : "ClearCommError fails");
        sim::ClearCalls();
        dev->dcb.fAbortOnError = 0;
        dev->reads = {{7, 8, 9}};
        if (lineError) dev->commErrors = CE_FRAME;
        if (!lineError) sim::Fail("ClearCommError", 1167);
        jbyteArray buf = jni.NewByteArray(3, 0);
        EXPECT_EQ(Read(buf, 3), 1);
        EXPECT_FALSE(jni.HasPending());
        EXPECT_EQ(ReadTrace(), (std::vector<std::string>{"R1", "C"}));
        EXPECT_EQ(jni.Bytes(buf), (Bytes{7, 0, 0}));
        EXPECT_EQ(dev->commErrors, 0u);
    }
}

// The open sets fAbortOnError: after a line error the port refuses reads until PortGetReadCount
// clears it. A read must not clear it on the caller's behalf.
TEST_F(SerialIo, LineErrorRefusesReadsUntilTheCountClearsIt) {
    dev->commErrors = CE_OVERRUN;
    dev->reads = {{1, 2, 3}};
    jbyteArray buf = jni.NewByteArray(4, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(Read(buf, 4), 0);
        EXPECT_FALSE(jni.HasPending());
    }
    EXPECT_EQ(ReadTrace(), (std::vector<std::string>{"R1", "R1"}));
    EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, handle), 3);
    EXPECT_EQ(Read(buf, 4), 3);
    EXPECT_EQ(jni.Bytes(buf), (Bytes{1, 2, 3, 0}));
}

TEST_F(SerialIo, BadCountsAndArraysAreRefusedWithoutTouchingTheArray) {
    jbyteArray buf = jni.NewByteArray(4, 0x55);
    dev->reads = {{1, 2, 3, 4, 5, 6}};
    for (jint count : {0, -1, -2147483647 - 1, 5, 2147483647}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(Read(buf, count), -1);
        EXPECT_EQ(Pending(), "Invalid read count");
        jni.ClearPending();
        EXPECT_EQ(Write(buf, count), -1);
        EXPECT_EQ(Pending(), "Invalid write count");
        jni.ClearPending();
    }
    EXPECT_EQ(Read(nullptr, 1), -1);
    EXPECT_EQ(Pending(), "Invalid read count");
    EXPECT_EQ(Write(nullptr, 1), -1);
    EXPECT_EQ(Pending(), "Invalid write count");
    EXPECT_EQ(jni.Bytes(buf), Bytes(4, 0x55));
    EXPECT_TRUE(sim::CallsOf("ReadFile").empty());
    EXPECT_TRUE(sim::CallsOf("WriteFile").empty());
}

TEST_F(SerialIo, ElementsUnavailable) {
    jbyteArray buf = jni.NewByteArray(4);
    jni.FailNextGetElements();
    EXPECT_EQ(Read(buf, 4), -1);
    jni.FailNextGetElements();
    EXPECT_EQ(Write(buf, 4), -1);
    EXPECT_FALSE(jni.HasPending()) << "the VM reports its own out-of-memory condition";
}

// Each full chunk is followed by a 250 ms pause, the last one too: the pauses are waits on the
// close signal, so they are timed rather than recorded.
TEST_F(SerialIo, WritesGoOutInChunksWithPausesAfterFullOnes) {
    struct Case {
        jint count;
        std::vector<std::string> trace;
        int pauses;
    };
    const Case cases[] = {
        {8191, {"W8191"}, 0},
        {8193, {"W8192", "W1"}, 1},
        {16384, {"W8192", "W8192"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        sim::ClearCalls();
        dev->written.clear();
        Bytes data = Pattern(static_cast<size_t>(c.count));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Write(jni.NewByteArray(data), c.count), 0);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(jni.HasPending());
        EXPECT_EQ(WriteTrace(), c.trace);
        EXPECT_EQ(dev->written, data);
        EXPECT_GE(ms, 250 * c.pauses);
        if (c.pauses == 0) {
            EXPECT_LT(ms, 250);
        }
    }
}

TEST_F(SerialIo, WriteSendsOnlyTheCountAskedFor) {
    Bytes data = Pattern(10);
    EXPECT_EQ(Write(jni.NewByteArray(data), 4), 0);
    EXPECT_EQ(dev->written, Bytes(data.begin(), data.begin() + 4));
}

TEST_F(SerialIo, ShortWriteStopsTheRest) {
    dev->writeLimits = {8192, 100};
    Bytes data = Pattern(20000);
    EXPECT_EQ(Write(jni.NewByteArray(data), 20000), -1);
    EXPECT_EQ(Pending(), "Number of bytes written [100] != number of bytes requested [8192]");
    EXPECT_EQ(WriteTrace(), (std::vector<std::string>{"W8192", "W8192"}));
    EXPECT_EQ(dev->written, Bytes(data.begin(), data.begin() + 8192 + 100));
}

TEST_F(SerialIo, FailingWriteReportsTheError) {
    sim::Fail("WriteFile", 121);
    EXPECT_EQ(Write(jni.NewByteArray(Pattern(3)), 3), -1);
    EXPECT_EQ(Pending(), "WriteFile: GetLastError=121");
    EXPECT_TRUE(dev->written.empty());
    jni.ClearPending();

    // A write cancelled in its second chunk: the first stays sent, the rest is not attempted.
    sim::ClearCalls();
    sim::Fail("WriteFile", ERROR_OPERATION_ABORTED, 2);
    Bytes data = Pattern(20000);
    EXPECT_EQ(Write(jni.NewByteArray(data), 20000), -1);
    EXPECT_EQ(Pending(), "WriteFile: GetLastError=995");
    EXPECT_EQ(WriteTrace(), (std::vector<std::string>{"W8192", "W8192"}));
    EXPECT_EQ(dev->written, Bytes(data.begin(), data.begin() + 8192));
}

// ---- a read and a write at once ----------------------------------------------------------------

constexpr auto kHeldUp = std::chrono::seconds(5);  // beyond this a call counts as held up

// A read and a write of one port run at once: one held inside the device by the simulation's
// latch holds up neither a call of the other direction nor a count, while a second call of its
// own direction waits its turn. A call held up fails the test rather than hanging it: the latch
// is opened after the waits, whatever they found.
TEST_F(SerialIo, ACallHeldInTheDeviceHoldsUpOnlyItsOwnDirection) {
    for (bool writeHeld : {false, true}) {
        SCOPED_TRACE(writeHeld ? "a write held" : "a read held");
        dev->written.clear();
        dev->reads.clear();
        if (writeHeld) dev->reads = {{4, 5, 6}};
        (writeHeld ? dev->holdWrites : dev->holdReads) = true;
        std::future<jint> held = Start(writeHeld, 8);
        ASSERT_TRUE(sim::AwaitHeld(*dev, 1, 5000));

        Bytes got;
        std::future<jint> other = Start(!writeHeld, writeHeld ? 8 : 3, &got);
        EXPECT_EQ(other.wait_for(kHeldUp), std::future_status::ready) << "held up by the other";
        std::future<jint> count = std::async(std::launch::async, [this] {
            FakeJni local;
            return CALDRIX(PortGetReadCount)(local.env(), nullptr, handle);
        });
        EXPECT_EQ(count.wait_for(kHeldUp), std::future_status::ready) << "the count held up";
        std::future<jint> second = Start(writeHeld, 8);
        EXPECT_FALSE(sim::AwaitHeld(*dev, 2, 200)) << "two calls of one direction inside at once";
        EXPECT_EQ(held.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

        sim::Release(*dev);
        EXPECT_EQ(held.get(), 0);
        EXPECT_EQ(second.get(), 0);
        EXPECT_EQ(count.get(), 0);
        if (writeHeld) {
            EXPECT_EQ(other.get(), 3);
            EXPECT_EQ(got, (Bytes{4, 5, 6}));
            EXPECT_EQ(dev->written, Bytes(16, 0x5A));
        } else {
            EXPECT_EQ(other.get(), 0);
            EXPECT_EQ(dev->written, Bytes(3, 0x5A));
        }
    }
}

// A close while a read and a write are both inside, deaf to cancels (as on a Wine COM port):
// it waits for both, frees nothing under them and closes the device after the last.
TEST_F(SerialIo, CloseWaitsForAReadAndAWriteInsideAtOnce) {
    dev->holdReads = dev->holdWrites = true;
    dev->cancelIgnored = true;
    std::future<jint> read = Start(false, 8);
    std::future<jint> write = Start(true, 8);
    const bool both = sim::AwaitHeld(*dev, 2, 5000);
    EXPECT_TRUE(both) << "the read and the write are not inside at once";
    if (!both) {
        sim::Release(*dev);
        return;
    }

    std::future<jint> close = std::async(std::launch::async, [this] {
        FakeJni local;
        return CALDRIX(PortClose)(local.env(), nullptr, handle);
    });
    ASSERT_TRUE(sim::AwaitCalls("Cancel", 3, 5000)) << "the close keeps cancelling while it waits";
    EXPECT_EQ(close.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_NE(PortTable[handle].kind, PORT_KIND_FREE) << "the slot is not freed under the calls";
    EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, handle), -1) << "a closing port takes none";

    sim::Release(*dev);
    EXPECT_EQ(read.get(), 0);
    EXPECT_EQ(write.get(), 0);
    EXPECT_EQ(close.get(), 0);
    EXPECT_FALSE(dev->open);
    EXPECT_EQ(sim::Calls().back().fn, "CloseHandle") << "the device closes after both calls";
}

}  // namespace
