#include <gtest/gtest.h>

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
    jint Read(jbyteArray buf, jint count) { return CALDRIX(PortRead)(env, nullptr, handle, buf, count); }
    jint Write(jbyteArray buf, jint count) {
        return CALDRIX(PortWrite)(env, nullptr, handle, buf, count);
    }
    // The WriteFile sizes and pauses, in the order they happened.
    std::vector<std::string> WriteTrace() {
        std::vector<std::string> trace;
        for (const sim::Call& c : sim::Calls()) {
            if (c.fn == "WriteFile") trace.push_back("W" + std::to_string(c.args.at(0)));
            if (c.fn == "Sleep") trace.push_back("S" + std::to_string(c.args.at(0)));
        }
        return trace;
    }
    static Bytes Pattern(size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
        return b;
    }

    jint handle = 0;
    sim::SerialDevice* dev = nullptr;
};

TEST_F(SerialIo, ReadGathersUntilTheCountOrAnEmptyCall) {
    dev->reads = {{1}, {2}, {3, 4}};
    jbyteArray buf = jni.NewByteArray(4, 0xEE);
    EXPECT_EQ(Read(buf, 4), 4);
    EXPECT_EQ(jni.Bytes(buf), (Bytes{1, 2, 3, 4}));
    std::vector<uint64_t> asked;
    for (const sim::Call& c : sim::CallsOf("ReadFile")) asked.push_back(c.args.at(0));
    EXPECT_EQ(asked, (std::vector<uint64_t>{4, 3, 2})) << "each call asks for all still missing";

    dev->reads = {{9, 8, 7}};
    buf = jni.NewByteArray(5, 0xEE);
    EXPECT_EQ(Read(buf, 5), 3);
    EXPECT_EQ(jni.Bytes(buf), (Bytes{9, 8, 7, 0xEE, 0xEE}));

    buf = jni.NewByteArray(5, 0xEE);
    EXPECT_EQ(Read(buf, 5), 0) << "nothing waiting is no failure";
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(jni.Bytes(buf), Bytes(5, 0xEE));
}

TEST_F(SerialIo, ReadFailureAfterBytesRaisesButKeepsTheBytes) {
    dev->reads = {{1, 2}, {3}};
    sim::Fail("ReadFile", 1167, 2);
    jbyteArray buf = jni.NewByteArray(6, 0);
    EXPECT_EQ(Read(buf, 6), -1);
    EXPECT_EQ(Pending(), "ReadFile error 1167 on port");
    EXPECT_EQ(jni.Bytes(buf), (Bytes{1, 2, 3, 0, 0, 0}));
}

TEST_F(SerialIo, ReadFailureWithoutBytesEndsQuietly) {
    dev->reads = {{5}};
    sim::Fail("ReadFile", 995, 2);  // the second call fails and brings nothing
    jbyteArray buf = jni.NewByteArray(3, 0);
    EXPECT_EQ(Read(buf, 3), 1);
    EXPECT_FALSE(jni.HasPending());
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

TEST_F(SerialIo, WritesGoOutInChunksWithPausesAfterFullOnes) {
    struct Case {
        jint count;
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        {1, {"W1"}},
        {8191, {"W8191"}},
        {8192, {"W8192", "S250"}},
        {8193, {"W8192", "S250", "W1"}},
        {20000, {"W8192", "S250", "W8192", "S250", "W3616"}},
        {16384, {"W8192", "S250", "W8192", "S250"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        sim::ClearCalls();
        dev->written.clear();
        Bytes data = Pattern(static_cast<size_t>(c.count));
        EXPECT_EQ(Write(jni.NewByteArray(data), c.count), 0);
        EXPECT_FALSE(jni.HasPending());
        EXPECT_EQ(WriteTrace(), c.trace);
        EXPECT_EQ(dev->written, data);
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
    EXPECT_EQ(WriteTrace(), (std::vector<std::string>{"W8192", "S250", "W8192"}));
    EXPECT_EQ(dev->written, Bytes(data.begin(), data.begin() + 8192 + 100));
}

TEST_F(SerialIo, FailingWriteReportsTheError) {
    sim::Fail("WriteFile", 121);
    EXPECT_EQ(Write(jni.NewByteArray(Pattern(3)), 3), -1);
    EXPECT_EQ(Pending(), "WriteFile: GetLastError=121");
    EXPECT_TRUE(dev->written.empty());
}

}  // namespace
