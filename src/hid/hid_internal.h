// What the files of the HID backend share: hid.dll's functions, the receive thread, the sensor
// filter and monitor, the close, and the rules for the stop flag and the stop event.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "../ports/port_table.h"
#include "hid_packets.h"

#define HID_READ_SIZE 1024
#define HID_WRITE_CHUNK 8192
#define HID_WRITE_WAIT_MS 1000
#define HID_CHUNK_PAUSE_MS 250
#define HID_RX_PAUSE_MS 100
#define HID_OPEN_SETTLE_MS 500

// hid.dll, loaded by name the first time a HID port opens and kept for the life of the process.
struct HidLibrary {
    decltype(&HidD_GetHidGuid) GetHidGuid;
    decltype(&HidD_GetPreparsedData) GetPreparsedData;
    decltype(&HidD_FreePreparsedData) FreePreparsedData;
    decltype(&HidP_GetSpecificValueCaps) GetSpecificValueCaps;
};

// Null when hid.dll cannot be loaded or lacks one of the functions.
const HidLibrary* LoadHidLibrary(void);
// Tests only, with no HID port open: the next open loads hid.dll again.
void ForgetHidLibrary(void);

DWORD WINAPI USBRxThread(LPVOID param);
// 1 to pass a read of n bytes on, 0 to drop it as a repeat of the sensor state last passed on.
int FilterSensorReport(USBDev* dev, const uint8_t* buffer, DWORD n);

// Starts the sensor monitor for a USBAIO or display port and signals its event about a second
// later; does nothing for other types.
void LaunchSensorMonitor(DeviceType type);

int32_t intUSBPortClose(USBDev* dev);

// The stop flag is set by the close on one thread and read by the receive thread and by writes
// on others.
inline int32_t StopRequested(const USBDev* dev) {
    return __atomic_load_n(&dev->stopFlag, __ATOMIC_ACQUIRE);
}

// The stop event is auto-reset, and more than one wait may watch it (the receive thread, a
// write): whoever sees it signalled sets it again, so every waiter sees it. True when it was
// signalled within `ms`.
bool WaitForStop(USBDev* dev, DWORD ms);
// The same after a WaitForMultipleObjects has reported the stop event.
void PassStopOn(USBDev* dev);

// The chunks of a write of `count` bytes, at most HID_WRITE_CHUNK each. It counts down what is
// left: an offset stepped by whole chunks would pass INT_MAX after the last chunk of a count
// within a chunk of it.
class WriteChunks {
public:
    explicit WriteChunks(int32_t count) : count_(count), left_(count) {}
    bool More() const { return left_ > 0; }
    int32_t Offset() const { return count_ - left_; }
    int32_t Size() const { return left_ < HID_WRITE_CHUNK ? left_ : HID_WRITE_CHUNK; }
    void Next() { left_ -= Size(); }

private:
    const int32_t count_;
    int32_t left_;
};

// Ends a transfer that may still be running on `ov` and waits until the platform is done with
// it, so its buffer and OVERLAPPED record can be reused or released. Answers the bytes it moved
// if it succeeded after all, else 0.
DWORD CancelAndAwait(HANDLE device, OVERLAPPED* ov);
