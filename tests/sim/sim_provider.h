// The simulated device provider, linked into tests only. It scripts serial devices and network
// adapters, records every platform call made on them with its arguments, fails any chosen call
// with any chosen error code, and records pauses instead of sleeping them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/provider.h"

namespace caldrix_sim {

// One recorded call: the Win32 function's name, the device name it concerned (empty for calls
// that concern no device) and its integer arguments in order:
//   CreateFileA: access, shareMode, creation, flags     ReadFile, WriteFile: bytes asked for
//   SetCommState: the DCB's 32-bit flags word          SetupComm: in queue, out queue
//   SetCommTimeouts: the five values in field order     PurgeComm: flags
//   EscapeCommFunction: the function code              Sleep: milliseconds
//   GetCommState, ClearCommError, GetCommModemStatus, CloseHandle: none
//   WaitCommInput: its time-out in milliseconds
//   Netbios: command, LANA number
struct Call {
    std::string fn;
    std::string device;
    std::vector<uint64_t> args;
};

// A scripted serial device. Tests read and change it directly between calls.
struct SerialDevice {
    std::string name;                          // as CreateFileA must be given it
    std::deque<std::vector<uint8_t>> reads;    // ReadFile call k delivers reads[k] (up to the
                                               // count asked; the rest stays at the front);
                                               // none left: 0 bytes, success
    std::deque<DWORD> writeLimits;             // WriteFile call k accepts at most this many
                                               // bytes; none left: all of them
    std::vector<uint8_t> written;              // every byte accepted, in order
    DCB dcb;                                   // the driver's state; starts as a fresh driver's
    COMMTIMEOUTS timeouts;                     // as last set
    DWORD inQueue = 0, outQueue = 0;           // as last given to SetupComm
    DWORD modemStatus = 0x10 | 0x20 | 0x80;    // CTS, DSR, RLSD on
    DWORD commErrors = 0;                      // reported and cleared by ClearCommError
    bool dtr = false, rts = false;             // as EscapeCommFunction left them
    bool open = false;                         // a handle is open on it; a second open with
                                               // share mode 0 fails with ERROR_ACCESS_DENIED
    int opens = 0;                             // successful CreateFileA calls
    // Latches: while set, ReadFile (WriteFile) waits inside the device, after it is recorded and
    // before it moves a byte, until Release() or a cancel. A cancelled call fails with
    // ERROR_OPERATION_ABORTED; with cancelIgnored it waits on, as a Wine COM port does.
    bool holdReads = false, holdWrites = false;
    bool cancelIgnored = false;
    int held = 0;                              // calls waiting on a latch now
};

// The freshly-booted driver state the simulated device reports before anyone configures it: a
// flags word with fTXContinueOnXoff and a reserved bit set, so tests see what the open keeps.
DCB DefaultDriverDcb();

void Install();    // registers the provider in front of the real ones; Sleep is recorded
void Uninstall();  // removes it and restores real sleeping
void Reset();      // forgets devices, adapters, failures and the call record

SerialDevice& AddSerial(const std::string& name);
SerialDevice* FindSerial(const std::string& name);

// Adapters in LANA order; with none set, the network question passes on to the host. An
// explicit empty list means a machine without adapters.
void SetAdapters(const std::vector<caldrix_posix::Adapter>& adapters);

// The occurrence-th call of `fn` from now (1 = the next one) fails with `error`. CreateFileA
// counts every name, the provider's own and the host's. A failing
// ReadFile still delivers its scripted bytes, as Windows may after a partial transfer; a failing
// WriteFile accepts nothing; a failing CloseHandle still closes the device.
void Fail(const std::string& fn, DWORD error, int occurrence = 1);

// Opens the latches of `device` and wakes the calls held there.
void Release(SerialDevice& device);
// Waits up to timeoutMs until `count` calls are held on the device's latches; false if not.
bool AwaitHeld(const SerialDevice& device, int count, int timeoutMs);
// Waits up to timeoutMs until `count` calls of `fn` have been recorded; false if not. Device
// cancellations are recorded as "Cancel" with the device's name.
bool AwaitCalls(const std::string& fn, size_t count, int timeoutMs);

const std::vector<Call>& Calls();
std::vector<Call> CallsOf(const std::string& fn);
void ClearCalls();
std::vector<DWORD> Sleeps();  // the pauses, in order

}  // namespace caldrix_sim
