// The table of open ports. Java holds the index of a port's slot (1 to 9); slot 0 is reserved.
#pragma once

#include <jni.h>
#include <stdint.h>

#include <atomic>

#include "../platform/win32.h"
#include "port_records.h"

#define PORT_TABLE_SIZE 10
#define MAX_PORT_NAME 260

typedef int32_t PortKind;
#define PORT_KIND_FREE (-1)
#define PORT_KIND_SERIAL 1
#define PORT_KIND_HID 2

typedef uint16_t DeviceType;
#define DEVICE_VIDPID 0
#define DEVICE_USBHID 1
#define DEVICE_USBPTR 2
#define DEVICE_USBAIO 3
#define DEVICE_USBLCD1 4
#define DEVICE_USBLCD2 5

struct USBDev {
    HANDLE hDevice;
    HANDLE hLock;
    int32_t vid;
    int32_t pid;
    int32_t instance;
    char lastSensorByte;
    HANDLE hThread;
    HANDLE hReadEvent;
    HANDLE hWriteEvent;
    HANDLE hStopEvent;
    uint16_t reportId;
    DeviceType deviceType;
    uint16_t packetOffset;
    RxPacket* curPacket;
    int32_t savedLength;
    int32_t stopFlag;
    OVERLAPPED writeOverlapped;
    RxPacket* pendingPacket;
    PacketQueue rxQueue;
    // Set when a close of the port begins and never reset while the port lives: the table's
    // (its slot's), not the port's, so a backend never closes it. Pauses and waits that a close
    // must end watch it.
    HANDLE hClosing;
    // A serial port opened for a port object: its handle is overlapped, so that on Windows a
    // read or a wait does not hold up a write.
    int32_t overlappedIo;
    // HID: manual-reset, set by the receive thread whenever it queues bytes or the device fails.
    HANDLE hDataEvent;
    // HID: the code of the receive thread's read that found the device gone; 0 while it is there.
    DWORD rxFailure;
};

// Bookkeeping that keeps a slot alive while calls use it; not part of the port's own state, so
// freeing a slot leaves it alone. A slot is visible to look-ups only while open; a close hides it
// first, interrupts the calls inside and waits for them to leave, so no call ever uses a freed
// slot.
enum SlotState {
    SLOT_FREE = 0,     // no port: the slot may be claimed
    SLOT_OPENING = 1,  // claimed, its backend open running; invisible to look-ups
    SLOT_OPEN = 2,     // visible to look-ups
    SLOT_CLOSING = 3,  // hidden again; the close waits for the calls inside
};
struct SlotUse {
    std::atomic<int32_t> state;
    std::atomic<int32_t> refs;  // calls holding the slot, the closer's own included
    HANDLE hRefDropped;         // auto-reset; set when a reference goes while the slot closes
    HANDLE hClosing;            // manual-reset; the port's hClosing while it is claimed
};
extern SlotUse PortUse[PORT_TABLE_SIZE];

struct PortSlot {
    PortKind kind;
    char name[MAX_PORT_NAME + 1];
    USBDev dev;
};

extern PortSlot PortTable[PORT_TABLE_SIZE];
extern OSVERSIONINFOA OsVersionInfo;
// Part of the load, before the table: the platform's version, which decides how COM10 and above
// are named.
void ReadOsVersion(void);
// A critical section rather than a kernel mutex: it is taken on every call, and an uncontended
// one costs an atomic operation instead of a system call.
extern CRITICAL_SECTION PortTableLock;

// Part of the load: the table lock, every slot free and unused, the per-slot events made once.
void InitPortTable(void);

void LockPortTable(void);
void UnlockPortTable(void);

// 0 and the handle through *handle, or -1 (too long a name, a full table, a refused name). The
// slot is then opening: invisible to look-ups until PublishPortSlot.
int32_t ClaimPortSlot(JNIEnv* env, jstring name, int32_t* handle);

// A claimed slot becomes visible to look-ups once its open has succeeded, so no call reaches a
// half-opened port.
void PublishPortSlot(int32_t handle);

// The slot of a handle, or null for a handle outside 1 to 9, a free slot, a slot still opening or
// one being closed. A slot returned here stays allocated until the matching ReleasePortSlot.
PortSlot* GetPortSlot(int32_t handle);
void ReleasePortSlot(PortSlot* slot);

// Makes the calls inside a port return promptly (cancels its I/O, wakes its waits).
typedef void (*InterruptPort)(USBDev* dev);

// Starts the close of a looked-up slot: later look-ups fail, the port's hClosing is set (every
// pause and wait watching it ends at once); then, until every other call that holds the slot has
// released it, interrupts them every few milliseconds. False when another close got there first.
bool BeginClosePortSlot(PortSlot* slot, InterruptPort interrupt);

// Clears the slot and marks it free; closes nothing itself. The caller's own reference from
// GetPortSlot ends with it.
void FreePortSlot(PortSlot* slot);

// Holds a slot from look-up to return, so a close waits for the call to leave it.
class SlotRef {
public:
    explicit SlotRef(int32_t handle) : slot_(GetPortSlot(handle)) {}
    ~SlotRef() {
        if (slot_ != nullptr) ReleasePortSlot(slot_);
    }
    SlotRef(const SlotRef&) = delete;
    SlotRef& operator=(const SlotRef&) = delete;

    PortSlot* get() const { return slot_; }
    bool serial() const { return slot_->kind == PORT_KIND_SERIAL; }
    USBDev* dev() const { return &slot_->dev; }
    // Frees the slot; the reference ends with it.
    void Free() {
        FreePortSlot(slot_);
        slot_ = nullptr;
    }

private:
    PortSlot* slot_;
};
