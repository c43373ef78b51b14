// Closing a HID port, and the stop rules that make every wait of the port end when it closes.
//
// A close first interrupts (stop flag, stop event, the device's transfers cancelled), which the
// entry point repeats until the calls inside the port have left; then the close proper waits for
// the receive thread to return, and only then closes the handles and gives every packet the port
// held back to the pool. Nothing the thread or a write may still touch is released before.
#include <stdio.h>

#include "../fail/log.h"
#include "hid.h"
#include "hid_internal.h"

void PassStopOn(USBDev* dev) { SetEvent(dev->hStopEvent); }

bool WaitForStop(USBDev* dev, DWORD ms) {
    if (WaitForSingleObject(dev->hStopEvent, ms) != WAIT_OBJECT_0) return false;
    PassStopOn(dev);
    return true;
}

DWORD CancelAndAwait(HANDLE device, OVERLAPPED* ov) {
    // Nothing may be pending on the record: then the cancel finds nothing and the result is
    // answered at once.
    CancelTransfers(device, ov);
    DWORD moved = 0;
    return GetOverlappedResult(device, ov, &moved, TRUE) ? moved : 0;
}

void USBPortInterrupt(USBDev* dev) {
    __atomic_store_n(&dev->stopFlag, 1, __ATOMIC_RELEASE);
    SetEvent(dev->hStopEvent);
    CancelTransfers(dev->hDevice, nullptr);
}

int32_t USBPortClose(JNIEnv*, USBDev* dev) {
    LogLine(" USBPortClose: \n");
    return intUSBPortClose(dev);
}

int32_t intUSBPortClose(USBDev* dev) {
    USBPortInterrupt(dev);
    if (dev->hThread != nullptr) {
        WaitForSingleObject(dev->hThread, INFINITE);
        CloseHandle(dev->hThread);
    }
    CloseHandle(dev->hReadEvent);
    CloseHandle(dev->hStopEvent);
    CloseHandle(dev->hWriteEvent);
    CloseHandle(dev->hDataEvent);
    CloseHandle(dev->hDevice);
    dev->hThread = nullptr;
    dev->hDevice = nullptr;
    dev->hReadEvent = nullptr;
    dev->hStopEvent = nullptr;
    dev->hWriteEvent = nullptr;
    dev->hDataEvent = nullptr;
    dev->rxFailure = 0;

    // Every packet the port held goes back: queued, partly delivered, in the thread's hand.
    FlushQueue(&dev->rxQueue);
    if (RxPacket* split = dev->curPacket) {
        split->status = 0;
        split->length = dev->savedLength;
        AppendPacket(&FreePacketPool, split);
    }
    if (dev->pendingPacket != nullptr) AppendPacket(&FreePacketPool, dev->pendingPacket);
    dev->curPacket = nullptr;
    dev->pendingPacket = nullptr;
    dev->packetOffset = 0;
    InitQueue(&dev->rxQueue);
    CloseHandle(dev->rxQueue.hQueueLock);
    CloseHandle(dev->hLock);
    dev->rxQueue.hQueueLock = nullptr;
    dev->hLock = nullptr;
    ReleasePoolShare();

    LogLine(" intUSBPortClose: Complete \n");
    return -1;
}
