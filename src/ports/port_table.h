// The table of open ports. Java holds the index of a port's slot (1 to 9); slot 0 is reserved.
#pragma once

#include <jni.h>
#include <stdint.h>

#include "../platform/win32.h"

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

struct RxPacket;

struct PacketQueue {
    RxPacket* head;
    RxPacket* tail;
    int32_t count;
    int32_t byteTotal;
    HANDLE hQueueLock;
};

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
};

// Bookkeeping that keeps a slot alive while calls use it; not part of the port's own state, so
// freeing a slot leaves it alone.

struct PortSlot {
    PortKind kind;
    char name[MAX_PORT_NAME + 1];
    USBDev dev;
};

extern PortSlot PortTable[PORT_TABLE_SIZE];
extern OSVERSIONINFOA OsVersionInfo;
extern HANDLE PortTableLock;

void on_library_load(void);
// Part of the load: every slot hidden and unused, the per-slot events made once.
void InitPortUse(void);

void LockPortTable(void);
void UnlockPortTable(void);

// 0 and the handle through *handle, or -1 (too long a name, a full table, a refused name).
int32_t ClaimPortSlot(JNIEnv* env, jstring name, int32_t* handle);

// A claimed slot becomes visible to look-ups once its open has succeeded, so no call reaches a
// half-opened port.
void PublishPortSlot(int32_t handle);

// The slot of a handle, or null for a handle outside 1 to 9, a free slot, a slot still opening or
// one being closed. A slot returned here stays allocated until the matching ReleasePortSlot.
PortSlot* GetPortSlot(int32_t handle);
void ReleasePortSlot(PortSlot* slot);

// Starts the close of a looked-up slot: later look-ups fail, and the call returns once every
// other call that holds the slot has released it. False when another close got there first.
bool BeginClosePortSlot(PortSlot* slot);

// Clears the slot and marks it free; closes nothing itself. The caller's own reference from
// GetPortSlot ends with it.
void FreePortSlot(PortSlot* slot);
