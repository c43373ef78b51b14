// Shared fixture of the library tests: the library loaded once, the simulated provider in front
// of the host's devices, an empty port table and a fresh JNI environment for every test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "jni/natives.h"
#include "sim/sim_provider.h"
#include "ports/port_table.h"

namespace sim = caldrix_sim;

// The library's load runs once per process, as it does under a VM.
void LoadLibraryOnce();

// Frees every slot, closing what is still open, so a test starts from an empty table.
void ResetPortTable();

// A fresh host root under /tmp whose \Calbrest\Sentivo\Sentivo.exe is the stand-in monitor,
// logging to <root>/standin.log, made the host root of the library; returns the root.
std::string LayOutMonitorHost(const char* prefix);

// A thread of this process, as /proc tells it: its voluntary context switches so far (-1 when it
// cannot be read), and its state letter ('S' asleep) through *state.
long VoluntarySwitches(long tid, char* state = nullptr);
// Waits up to 2 s until the thread is asleep; false if it never is.
bool AwaitAsleep(long tid);

// The 32-bit flags word of a DCB: the bit fields after BaudRate.
uint32_t DcbFlags(const DCB& dcb);

// The simulated provider in front of the host's devices, with nothing scripted yet.
class SimulatedPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Install();
        sim::Reset();
    }
    void TearDown() override {
        sim::Reset();
        sim::Uninstall();
    }
};

class LibraryTest : public SimulatedPlatformTest {
protected:
    void SetUp() override;
    void TearDown() override;

    jint Open(const std::string& name) { return CALDRIX(PortOpen)(env, nullptr, jni.NewString(name)); }
    jint Close(jint handle) { return CALDRIX(PortClose)(env, nullptr, handle); }

    // A scripted serial device with the given name, opened through PortOpen; the call record
    // starts after the open.
    jint OpenSerial(const std::string& name, sim::SerialDevice** device = nullptr);

    std::string Pending() const { return jni.PendingMessage(); }

    FakeJni jni;
    JNIEnv* env = jni.env();
};
