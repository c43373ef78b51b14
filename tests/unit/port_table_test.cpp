#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "unit_support.h"

namespace {

class PortTableTest : public LibraryTest {
protected:
    // A 16-byte PortRead or PortWrite on its own thread, its result and message kept.
    struct HeldCall {
        std::atomic<jint> result{-2};
        std::string message;
        std::thread thread;
    };
    static void StartCall(HeldCall* call, bool write, jint h) {
        call->thread = std::thread([call, write, h] {
            FakeJni local;
            jbyteArray buf = local.NewByteArray(16);
            call->result = write ? CALDRIX(PortWrite)(local.env(), nullptr, h, buf, 16)
                                 : CALDRIX(PortRead)(local.env(), nullptr, h, buf, 16);
            call->message = local.PendingMessage();
        });
    }
};

TEST_F(PortTableTest, HandlesAreTheLowestFreeSlotsAndStopAtNine) {
    for (int i = 1; i <= 9; ++i) {
        std::string name = "COM" + std::to_string(i) + ":";
        sim::AddSerial(name);
        EXPECT_EQ(Open(name), i);
    }
    sim::AddSerial("COM10:");
    EXPECT_EQ(Open("COM10:"), -1);
    EXPECT_FALSE(jni.HasPending()) << "a full table raises nothing";
    EXPECT_TRUE(sim::FindSerial("COM10:")->opens == 0) << "a full table opens nothing";

    EXPECT_EQ(Close(2), 0);
    EXPECT_EQ(Open("COM10:"), 2) << "a freed slot is reused lowest first";
}

TEST_F(PortTableTest, NameLengthLimit) {
    std::string longest = "/dev/" + std::string(MAX_PORT_NAME - 5, 'x');
    sim::AddSerial(longest);
    EXPECT_EQ(Open(longest), 1);
    EXPECT_EQ(std::string(PortTable[1].name), longest);

    std::string tooLong = longest + "y";
    sim::AddSerial(tooLong);
    EXPECT_EQ(Open(tooLong), -1);
    EXPECT_FALSE(jni.HasPending());
    EXPECT_EQ(sim::FindSerial(tooLong)->opens, 0);
}

TEST_F(PortTableTest, NullNameAndUnavailableCharacters) {
    EXPECT_EQ(CALDRIX(PortOpen)(env, nullptr, nullptr), -1);
    EXPECT_EQ(Pending(), "Invalid port name");
    jni.ClearPending();

    jni.FailNextGetStringChars();
    EXPECT_EQ(Open("COM1:"), -1);
    EXPECT_FALSE(jni.HasPending()) << "the VM reports its own out-of-memory condition";
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
}

TEST_F(PortTableTest, LookUpRefusesReservedFreeAndOutOfRangeHandles) {
    for (int h : {0, -1, 10, 1, 9, 0x7fffffff}) EXPECT_EQ(GetPortSlot(h), nullptr) << h;
    EXPECT_EQ(PortTable[0].kind, PORT_KIND_SERIAL) << "slot 0 stays taken";
}

TEST_F(PortTableTest, FreedSlotReadsZeroButItsKind) {
    sim::AddSerial("COM1:");
    ASSERT_EQ(Open("COM1:"), 1);
    ASSERT_EQ(Close(1), 0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&PortTable[1].name);
    for (size_t i = 0; i < sizeof PortTable[1].name; ++i) ASSERT_EQ(bytes[i], 0) << i;
    const unsigned char* dev = reinterpret_cast<const unsigned char*>(&PortTable[1].dev);
    for (size_t i = 0; i < sizeof PortTable[1].dev; ++i) ASSERT_EQ(dev[i], 0) << i;
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
}

TEST_F(PortTableTest, FailedOpenFreesTheSlotForTheNextOpen) {
    sim::Fail("CreateFileA", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("COM1:"), -1);
    EXPECT_EQ(Pending(), "CreateFile error 2 on port");
    EXPECT_EQ(PortTable[1].kind, PORT_KIND_FREE);
    jni.ClearPending();
    sim::AddSerial("COM1:");
    EXPECT_EQ(Open("COM1:"), 1);
}

// A close racing calls on the same handle. The latch of the simulated device holds a call inside
// the device for certain; one that a cancel does not end (as on a Wine COM port) shows the close
// waiting for it: the slot is not freed while the call is inside, and the close returns after it.
TEST_F(PortTableTest, CloseWaitsForTheCallsInsideThePort) {
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        sim::SerialDevice* device = nullptr;
        jint h = OpenSerial("COM1:", &device);
        ASSERT_EQ(h, 1);
        (write ? device->holdWrites : device->holdReads) = true;
        device->cancelIgnored = true;

        HeldCall call;
        StartCall(&call, write, h);
        ASSERT_TRUE(sim::AwaitHeld(*device, 1, 5000));

        std::atomic<bool> closed{false};
        std::atomic<jint> closeResult{-2};
        std::thread closer([&] {
            FakeJni local;
            closeResult = CALDRIX(PortClose)(local.env(), nullptr, h);
            closed = true;
        });
        // The close cancels, finds the call still inside and keeps cancelling while it waits.
        sim::AwaitCalls("Cancel", 3, 5000);
        EXPECT_FALSE(closed.load()) << "the close must wait for the call inside";
        EXPECT_NE(PortTable[h].kind, PORT_KIND_FREE) << "the slot is not freed under the call";
        EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, h), -1)
            << "a closing port takes no new calls";
        EXPECT_FALSE(jni.HasPending());

        sim::Release(*device);
        call.thread.join();
        closer.join();
        EXPECT_EQ(closeResult.load(), 0);
        EXPECT_EQ(call.result.load(), 0);
        EXPECT_FALSE(device->open);
        EXPECT_EQ(sim::Calls().back().fn, "CloseHandle") << "the device closes after the call";
        sim::Reset();
    }
}

// A call that a cancel does end: the close is prompt, a held read returns what it had (nothing)
// without an error, a held write fails with its message and the code of a cancelled operation.
TEST_F(PortTableTest, CloseCancelsTheCallsInsideAndReturnsPromptly) {
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        sim::SerialDevice* device = nullptr;
        jint h = OpenSerial("COM1:", &device);
        ASSERT_EQ(h, 1);
        (write ? device->holdWrites : device->holdReads) = true;

        HeldCall call;
        StartCall(&call, write, h);
        ASSERT_TRUE(sim::AwaitHeld(*device, 1, 5000));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Close(h), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(300));
        sim::Release(*device);  // only matters if the cancel failed
        call.thread.join();
        EXPECT_EQ(call.result.load(), write ? -1 : 0);
        EXPECT_EQ(call.message, write ? "WriteFile: GetLastError=995" : "");
        EXPECT_FALSE(device->open);
        sim::Reset();
    }
}

// Calls keep coming from another thread while the port closes: each works or finds an invalid
// handle, and the close still ends.
TEST_F(PortTableTest, CloseAmidABusyCallerEnds) {
    sim::SerialDevice* device = nullptr;
    jint h = OpenSerial("COM1:", &device);
    ASSERT_EQ(h, 1);
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, invalid{0};
    std::thread worker([&] {
        FakeJni local;
        jbyteArray buf = local.NewByteArray(16);
        while (!stop.load()) {
            jint n = CALDRIX(PortGetReadCount)(local.env(), nullptr, h);
            CALDRIX(PortRead)(local.env(), nullptr, h, buf, 16);
            if (n == -1 && !local.HasPending()) {
                invalid++;
                break;
            }
            local.ClearPending();
            calls++;
        }
    });
    ASSERT_TRUE(sim::AwaitCalls("ClearCommError", 50, 5000));
    EXPECT_EQ(Close(h), 0);
    EXPECT_EQ(Close(h), -1) << "a second close finds an invalid handle";
    worker.join();
    EXPECT_EQ(invalid.load(), 1) << "calls after the close answer as for an invalid handle";
    EXPECT_FALSE(device->open);
}

TEST_F(PortTableTest, ConcurrentOpensGetDistinctHandles) {
    for (int i = 1; i <= 9; ++i) sim::AddSerial("COM" + std::to_string(i) + ":");
    std::atomic<int> got[10] = {};
    std::thread threads[9];
    for (int i = 0; i < 9; ++i) {
        threads[i] = std::thread([&, i] {
            FakeJni local;
            jint h = CALDRIX(PortOpen)(local.env(), nullptr,
                                       local.NewString("COM" + std::to_string(i + 1) + ":"));
            if (h >= 1 && h <= 9) got[h]++;
        });
    }
    for (auto& t : threads) t.join();
    for (int h = 1; h <= 9; ++h) EXPECT_EQ(got[h].load(), 1) << h;
}

}  // namespace
