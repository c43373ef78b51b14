// Simulated HID and USB-printer interfaces, for tests: listed by SetupAPI with their paths and
// classes, opened by CreateFileA, with the capabilities HidD_GetPreparsedData parses to, reports
// that arrive when a test pushes them, writes that complete as the test chooses, unplugging,
// a hid.dll that will not load, and a record of process starts.
//
// Calls are recorded in the provider's call record (sim::Calls()): "ReadFile" and "WriteFile"
// with the bytes asked, "HidD_GetPreparsedData", "Cancel", "CloseHandle", "CreateProcessA".
// sim::Fail works on "WriteFile", "ReadFile" (the start of a read) and "HidD_GetPreparsedData".
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/hid_descriptor.h"
#include "platform/posix/provider.h"

namespace caldrix_sim {

enum class WriteMode {
    Complete,  // at once, all bytes
    Short,     // at once, shortBy bytes fewer
    Delayed,   // all bytes after writeDelayMs
    Never,     // pending until cancelled
    Fail,      // WriteFile fails at once with writeError
};

struct HidDevice {
    std::string path;  // as SetupAPI lists it and CreateFileA is given it
    GUID cls;
    caldrix_posix::HidDescriptor descriptor;  // what HidD_GetPreparsedData answers
    std::deque<std::vector<uint8_t>> reports;  // arrived and not yet read
    WriteMode writeMode = WriteMode::Complete;
    DWORD writeDelayMs = 0;
    DWORD writeError = ERROR_INVALID_PARAMETER;
    DWORD shortBy = 1;
    std::vector<std::vector<uint8_t>> writes;  // the exact bytes of every WriteFile, in order
    bool unplugged = false;
    int opens = 0;         // successful CreateFileA calls
    int openNow = 0;       // handles open on it now
    int pendingReads = 0;  // reads waiting inside the device now
    int pendingWrites = 0;
};

// A HID interface (kHidInterfaceClass) or, with kPrinterInterfaceClass, a printer interface.
// Interfaces are listed in the order they were added. A path already known answers that device.
HidDevice& AddHid(const std::string& path, const GUID& cls = caldrix_posix::kHidInterfaceClass);
// A value capability for the device's input report: the report ID the open reads.
void AddInputValue(HidDevice& device, uint8_t reportId, uint16_t usagePage = 0xFF00,
                   uint16_t usage = 1);
// Delivers one report: the oldest pending read takes it (up to what it asked), else it waits.
void PushReport(HidDevice& device, const std::vector<uint8_t>& report);
// The device goes: pending and later transfers fail with ERROR_DEVICE_NOT_CONNECTED.
void Unplug(HidDevice& device);
// Waits up to timeoutMs until `count` reads are pending in the device; false if not.
bool AwaitPendingReads(const HidDevice& device, int count, int timeoutMs);
// Waits up to timeoutMs until `count` writes are pending in the device; false if not.
bool AwaitPendingWrites(const HidDevice& device, int count, int timeoutMs);
// LoadLibraryA("hid.dll") fails with ERROR_MOD_NOT_FOUND while set.
void SetHidLibraryMissing(bool missing);

// One CreateProcessA: the Windows path given, the host path it resolved to, the command line.
struct ProcessStart {
    std::string application;
    std::string path;
    std::string commandLine;
};
std::vector<ProcessStart> ProcessStarts();

}  // namespace caldrix_sim
