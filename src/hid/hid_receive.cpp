// The receive thread of a HID port: one overlapped read of the device at a time, each completed
// read turned into packets on the port's receive queue, then a pause.
#include <string.h>

#include "hid_internal.h"

namespace {

// Queues payload bytes in order, RX_PAYLOAD_SIZE to a packet: into the packet the thread holds,
// then into packets from the pool. A payload of 0 bytes still makes one (empty) packet. Answers
// how many bytes found no packet because the pool ran dry.
DWORD QueueBytes(USBDev* dev, const uint8_t* bytes, DWORD length) {
    do {
        if (dev->pendingPacket == nullptr) dev->pendingPacket = PopPacket(&FreePacketPool);
        RxPacket* packet = dev->pendingPacket;
        if (packet == nullptr) break;
        const DWORD n = length < RX_PAYLOAD_SIZE ? length : RX_PAYLOAD_SIZE;
        memcpy(packet->payload, bytes, n);
        packet->length = static_cast<int32_t>(n);
        dev->pendingPacket = nullptr;
        AppendPacket(&dev->rxQueue, packet);
        bytes += n;
        length -= n;
    } while (length > 0);
    return length;
}

}  // namespace

int FilterSensorReport(USBDev* dev, const uint8_t* buffer, DWORD n) {
    const DeviceType type = dev->deviceType;
    if (type != DEVICE_USBAIO && type != DEVICE_USBLCD1 && type != DEVICE_USBLCD2) return 1;
    if (n == 3 && buffer[1] == 'D' && static_cast<char>(buffer[2]) == dev->lastSensorByte) {
        return 0;
    }
    // A read too short to carry a state byte leaves the remembered one as it was.
    if (n >= 3) dev->lastSensorByte = static_cast<char>(buffer[2]);
    return 1;
}

// Codes of a read whose device has gone: ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_SUCH_DEVICE, and
// ERROR_BAD_COMMAND, which some Windows drivers answer once their device is unplugged.
static bool DeviceGone(DWORD error) { return error == 1167 || error == 433 || error == 22; }

// Told once: the device has gone. A waiter then learns it once the queue is empty.
static void NoteReadFailure(USBDev* dev, DWORD error) {
    if (!DeviceGone(error) || __atomic_load_n(&dev->rxFailure, __ATOMIC_ACQUIRE) != 0) return;
    __atomic_store_n(&dev->rxFailure, error, __ATOMIC_RELEASE);
    SetEvent(dev->hDataEvent);
}

DWORD WINAPI USBRxThread(LPVOID param) {
    USBDev* dev = static_cast<USBDev*>(param);
    const HANDLE waits[2] = {dev->hReadEvent, dev->hStopEvent};
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = dev->hReadEvent;
    uint8_t buffer[HID_READ_SIZE];
    // Payload bytes of the last read that are still waiting for packets. A report longer than a
    // packet continues in as many packets as it needs; when the pool runs dry part-way, the rest
    // waits here and goes out, first, as packets come back, before the device is read again.
    const uint8_t* rest = nullptr;
    DWORD restLength = 0;

    if (StopRequested(dev)) return 0;
    for (;;) {
        if (restLength > 0) {
            const DWORD left = QueueBytes(dev, rest, restLength);
            rest += restLength - left;
            if (left != restLength) SetEvent(dev->hDataEvent);
            restLength = left;
        } else {
            if (dev->pendingPacket == nullptr) dev->pendingPacket = PopPacket(&FreePacketPool);
            // An empty pool: the device is not read this turn; its reports wait in the driver.
            if (dev->pendingPacket != nullptr) {
                DWORD got = 0;
                bool completed = false;
                if (ReadFile(dev->hDevice, buffer, HID_READ_SIZE, &got, &ov)) {
                    completed = GetOverlappedResult(dev->hDevice, &ov, &got, FALSE) != FALSE;
                } else if (GetLastError() != ERROR_IO_PENDING) {
                    NoteReadFailure(dev, GetLastError());
                } else {
                    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
                    if (woke == WAIT_OBJECT_0 + 1) {
                        PassStopOn(dev);
                        // The read must be over before its buffer and record go away.
                        CancelAndAwait(dev->hDevice, &ov);
                        return 0;
                    }
                    if (woke == WAIT_OBJECT_0) {
                        completed = GetOverlappedResult(dev->hDevice, &ov, &got, TRUE) != FALSE;
                        if (!completed) NoteReadFailure(dev, GetLastError());
                    } else {
                        CancelAndAwait(dev->hDevice, &ov);
                    }
                }
                if (completed && got > 0) {
                    if (got > HID_READ_SIZE) got = HID_READ_SIZE;
                    // Every port but a printer's puts its report ID first: it is dropped.
                    const DWORD skip = dev->deviceType == DEVICE_USBPTR ? 0 : 1;
                    if (FilterSensorReport(dev, buffer, got)) {
                        restLength = QueueBytes(dev, buffer + skip, got - skip);
                        rest = buffer + got - restLength;
                        SetEvent(dev->hDataEvent);
                    }
                }
                ResetEvent(dev->hReadEvent);
            }
        }
        // The pause ends early when the port closes.
        if (WaitForStop(dev, HID_RX_PAUSE_MS) || StopRequested(dev)) return 0;
    }
}
