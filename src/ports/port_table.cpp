#include "port_table.h"

#include <string.h>

#include "../fail/holders.h"
#include "../fail/raise.h"
#include "classify.h"

PortSlot PortTable[PORT_TABLE_SIZE];
OSVERSIONINFOA OsVersionInfo;
CRITICAL_SECTION PortTableLock;
SlotUse PortUse[PORT_TABLE_SIZE];

void ReadOsVersion(void) {
    OsVersionInfo.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&OsVersionInfo);
}

// While a close waits for the calls inside a port, it interrupts them again this often: a call
// that started just after one interrupt is caught by the next.
static const DWORD kCloseRetryMs = 10;

void InitPortTable(void) {
    for (int i = 0; i < PORT_TABLE_SIZE; ++i) {
        memset(PortTable[i].name, 0, sizeof PortTable[i].name);
        PortTable[i].kind = PORT_KIND_FREE;
    }
    // Slot 0 is never handed out, so handles run from 1.
    PortTable[0].kind = PORT_KIND_SERIAL;
    InitializeCriticalSection(&PortTableLock);
    for (int i = 0; i < PORT_TABLE_SIZE; ++i) {
        PortUse[i].state = SLOT_FREE;
        PortUse[i].refs = 0;
        if (PortUse[i].hRefDropped == nullptr) {
            PortUse[i].hRefDropped = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        }
        if (PortUse[i].hClosing == nullptr) {
            PortUse[i].hClosing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }
}

void LockPortTable(void) { EnterCriticalSection(&PortTableLock); }

void UnlockPortTable(void) { LeaveCriticalSection(&PortTableLock); }

int32_t ClaimPortSlot(JNIEnv* env, jstring name, int32_t* handle) {
    if (name == nullptr) {
        raiseIOException(env, "Invalid port name");
        return -1;
    }
    char local[MAX_PORT_NAME + 1];
    {
        ScopedUtfChars chars(env, name);
        // No characters: the VM is out of memory and has its own exception pending.
        if (chars.get() == nullptr) return -1;
        size_t len = strlen(chars.get());
        if (len > MAX_PORT_NAME) return -1;
        memcpy(local, chars.get(), len + 1);
    }

    LockPortTable();
    PortSlot* slot = nullptr;
    int32_t index = 1;
    for (; index < PORT_TABLE_SIZE; ++index) {
        if (PortTable[index].kind == PORT_KIND_FREE) {
            slot = &PortTable[index];
            break;
        }
    }
    if (slot == nullptr) {
        UnlockPortTable();
        return -1;
    }
    int32_t result = SetDeviceInfo(local, slot);
    if (result != 0) {
        raiseIOException(env, "SetDeviceInfo failed\n");
        UnlockPortTable();
        return result;
    }
    PortUse[index].state = SLOT_OPENING;
    PortUse[index].refs = 0;
    ResetEvent(PortUse[index].hClosing);
    slot->dev.hClosing = PortUse[index].hClosing;
    *handle = index;
    UnlockPortTable();
    return 0;
}

void PublishPortSlot(int32_t handle) {
    LockPortTable();
    PortUse[handle].state = SLOT_OPEN;
    UnlockPortTable();
}

PortSlot* GetPortSlot(int32_t handle) {
    PortSlot* slot = nullptr;
    LockPortTable();
    if (handle >= 1 && handle <= PORT_TABLE_SIZE - 1 && PortTable[handle].kind != PORT_KIND_FREE &&
        PortUse[handle].state == SLOT_OPEN) {
        slot = &PortTable[handle];
        PortUse[handle].refs++;
    }
    UnlockPortTable();
    return slot;
}

// No table lock: the count is atomic, and a close that misses the event looks again soon.
void ReleasePortSlot(PortSlot* slot) {
    SlotUse* use = &PortUse[slot - PortTable];
    use->refs--;
    if (use->state == SLOT_CLOSING) SetEvent(use->hRefDropped);
}

bool BeginClosePortSlot(PortSlot* slot, InterruptPort interrupt) {
    SlotUse* use = &PortUse[slot - PortTable];
    LockPortTable();
    if (use->state != SLOT_OPEN) {
        UnlockPortTable();
        return false;
    }
    use->state = SLOT_CLOSING;
    UnlockPortTable();
    SetEvent(use->hClosing);
    // The closer holds one reference itself.
    while (use->refs > 1) {
        interrupt(&slot->dev);
        WaitForSingleObject(use->hRefDropped, kCloseRetryMs);
    }
    return true;
}

void FreePortSlot(PortSlot* slot) {
    SlotUse* use = &PortUse[slot - PortTable];
    LockPortTable();
    memset(slot, 0, sizeof *slot);
    slot->kind = PORT_KIND_FREE;
    use->state = SLOT_FREE;
    use->refs = 0;
    UnlockPortTable();
}
