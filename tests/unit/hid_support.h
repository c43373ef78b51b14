// The HID port tests' fixture: simulated HID devices behind the library, ports opened and closed
// through the native methods with their log lines captured, and waits on the receive thread that
// end on what the simulated device sees, never on the clock.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_internal.h"
#include "hid/hid_search.h"
#include "sim/sim_hid.h"
#include "unit_support.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline std::string HidPath(const std::string& ids, int n = 1) {
    return "\\\\?\\hid#" + ids + "#" + std::to_string(n) + "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

inline long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class HidPortTest : public LibraryTest {
protected:
    void TearDown() override {
        for (jint h = 1; h < PORT_TABLE_SIZE; ++h) {
            if (PortTable[h].kind != PORT_KIND_HID || PortUse[h].state != SLOT_OPEN) continue;
            testing::internal::CaptureStdout();
            Close(h);
            testing::internal::GetCapturedStdout();
        }
        SetPacketAllocator(nullptr);
        LibraryTest::TearDown();
    }

    // Opens through PortOpen; the log lines it printed go to *log.
    jint OpenHid(const std::string& name, std::string* log = nullptr) {
        testing::internal::CaptureStdout();
        const jint h = Open(name);
        const std::string out = testing::internal::GetCapturedStdout();
        if (log != nullptr) *log = out;
        return h;
    }
    jint CloseHid(jint h, std::string* log = nullptr) {
        testing::internal::CaptureStdout();
        const jint result = Close(h);
        const std::string out = testing::internal::GetCapturedStdout();
        if (log != nullptr) *log = out;
        return result;
    }

    Bytes Read(jint h, jint count, jint room = -1) {
        jbyteArray array = jni.NewByteArray(static_cast<size_t>(room < 0 ? count : room));
        const jint n = CALDRIX(PortRead)(env, nullptr, h, array, count);
        Bytes& all = jni.Bytes(array);
        return n <= 0 ? Bytes() : Bytes(all.begin(), all.begin() + n);
    }
    jint Write(jint h, const Bytes& bytes, std::string* log = nullptr) {
        testing::internal::CaptureStdout();
        const jint result = CALDRIX(PortWrite)(env, nullptr, h, jni.NewByteArray(bytes),
                                               static_cast<jint>(bytes.size()));
        const std::string out = testing::internal::GetCapturedStdout();
        if (log != nullptr) *log = out;
        return result;
    }
    jint Count(jint h) { return CALDRIX(PortGetReadCount)(env, nullptr, h); }

    // Pushes a report once the receive thread waits for one, and returns when the thread has
    // handled it: its next read has reached the device.
    void Deliver(sim::HidDevice& device, const Bytes& report) {
        ASSERT_TRUE(sim::AwaitPendingReads(device, 1, 2000)) << "the thread reads the device";
        const size_t reads = sim::CallsOf("ReadFile").size();
        sim::PushReport(device, report);
        ASSERT_TRUE(sim::AwaitCalls("ReadFile", reads + 1, 2000)) << "the report was handled";
    }

    // Waits up to 2 s for the read count to reach `count`. The queue has no event to wait on,
    // so this one wait polls.
    bool AwaitCount(jint h, jint count) {
        const auto start = Clock::now();
        while (Count(h) < count && MsSince(start) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return Count(h) == count;
    }

    // The line a write that did not go through prints for the port of handle h.
    static std::string WriteLine(int retcode, jint h) {
        char line[96];
        snprintf(line, sizeof line, " USBPortWrite: WriteFile retcode = %d  pUSBDev = %X \n",
                 retcode, static_cast<unsigned>(reinterpret_cast<uintptr_t>(&PortTable[h].dev)));
        return line;
    }
};
