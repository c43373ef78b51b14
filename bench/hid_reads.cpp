// The cost of PortRead and PortGetReadCount on a HID port whose reports are already queued,
// beside the same calls on a serial port with bytes waiting. A HID read copies from the receive
// queue and never touches the device; a serial read goes to the driver. The HID device is the
// simulated one (no USB here); the serial port is a real pseudo-terminal.
//
//   hid_reads [ROUNDS]     prints "hidreads <call> <hid ns> <serial ns>" per call, medians
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "jni/natives.h"
#include "sim/sim_hid.h"
#include "sim/sim_provider.h"
#include "ports/port_table.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReports = 20;        // a port's packet share
constexpr int kReportBytes = 800;   // one packet's payload
constexpr int kSerialBytes = 4000;  // what a pseudo-terminal holds without a reader

double NsPer(Clock::time_point start, long calls) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / calls;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    on_library_load();
    caldrix_sim::Install();
    FakeJni jni;
    JNIEnv* env = jni.env();
    caldrix_sim::HidDevice& dev = caldrix_sim::AddHid("\\\\?\\hid#vid_04b8&pid_0202#1#{x}");
    caldrix_sim::AddInputValue(dev, 2);
    const jint hid = CALDRIX(PortOpen)(env, nullptr, jni.NewString("USBHID: vid_04b8+pid_0202"));

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (hid < 1 || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fprintf(stderr, "hid_reads: cannot open the ports\n");
        return 1;
    }
    const jint serial = CALDRIX(PortOpen)(env, nullptr, jni.NewString(ptsname(master)));
    if (serial < 1) {
        fprintf(stderr, "hid_reads: cannot open %s\n", ptsname(master));
        return 1;
    }
    jbyteArray one = jni.NewByteArray(1);

    std::vector<double> hidRead, hidCount, serialRead, serialCount;
    for (int r = 0; r < rounds; ++r) {
        // Queue the reports: the receive thread takes one per read, then pauses.
        std::vector<uint8_t> report(kReportBytes + 1, 0x41);
        report[0] = 2;  // the report ID, which the thread drops
        for (int i = 0; i < kReports; ++i) caldrix_sim::PushReport(dev, report);
        const long queued = static_cast<long>(kReports) * kReportBytes;
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (CALDRIX(PortGetReadCount)(env, nullptr, hid) < queued && Clock::now() < until) {
            usleep(10000);
        }
        auto start = Clock::now();
        for (long i = 0; i < queued; ++i) CALDRIX(PortGetReadCount)(env, nullptr, hid);
        hidCount.push_back(NsPer(start, queued));
        start = Clock::now();
        long got = 0;
        for (long i = 0; i < queued; ++i) got += CALDRIX(PortRead)(env, nullptr, hid, one, 1);
        hidRead.push_back(NsPer(start, queued));
        if (got != queued) fprintf(stderr, "hid_reads: read %ld of %ld bytes\n", got, queued);

        std::string bytes(kSerialBytes, 'x');
        if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
        while (CALDRIX(PortGetReadCount)(env, nullptr, serial) < kSerialBytes) usleep(1000);
        start = Clock::now();
        for (long i = 0; i < kSerialBytes; ++i) CALDRIX(PortGetReadCount)(env, nullptr, serial);
        serialCount.push_back(NsPer(start, kSerialBytes));
        start = Clock::now();
        got = 0;
        for (long i = 0; i < kSerialBytes; ++i) got += CALDRIX(PortRead)(env, nullptr, serial, one, 1);
        serialRead.push_back(NsPer(start, kSerialBytes));
        if (got != kSerialBytes) fprintf(stderr, "hid_reads: serial read %ld bytes\n", got);
    }
    printf("hidreads PortRead(1) %.0f %.0f\n", Median(hidRead), Median(serialRead));
    printf("hidreads PortGetReadCount %.0f %.0f\n", Median(hidCount), Median(serialCount));
    CALDRIX(PortClose)(env, nullptr, hid);
    CALDRIX(PortClose)(env, nullptr, serial);
    return 0;
}
