#include "port_table.h"

#include <string.h>

#include "../jni/holders.h"
#include "../jni/raise.h"
#include "classify.h"

PortSlot PortTable[PORT_TABLE_SIZE];
OSVERSIONINFOA OsVersionInfo;
HANDLE PortTableLock;

// Who is using each slot. A slot is visible to look-ups only while open; a close hides it first
// and then waits for the calls already inside to leave, so no call ever uses a freed slot.
enum SlotState { SLOT_HIDDEN = 0, SLOT_OPEN = 1, SLOT_CLOSING = 2 };
struct SlotUse {
    int32_t state;
    int32_t refs;
    HANDLE hRefDropped;  // auto-reset; set when a reference goes while the slot is closing
};
static SlotUse PortUse[PORT_TABLE_SIZE];

void InitPortUse(void) {
    for (int i = 0; i < PORT_TABLE_SIZE; ++i) {
        PortUse[i].state = SLOT_HIDDEN;
        PortUse[i].refs = 0;
        if (PortUse[i].hRefDropped == nullptr) {
            PortUse[i].hRefDropped = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        }
    }
}

void LockPortTable(void) { WaitForSingleObject(PortTableLock, INFINITE); }

void UnlockPortTable(void) { ReleaseMutex(PortTableLock); }

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
    PortUse[index].state = SLOT_HIDDEN;
    PortUse[index].refs = 0;
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

void ReleasePortSlot(PortSlot* slot) {
    SlotUse* use = &PortUse[slot - PortTable];
    LockPortTable();
    if (use->refs > 0) use->refs--;
    if (use->state == SLOT_CLOSING) SetEvent(use->hRefDropped);
    UnlockPortTable();
}

bool BeginClosePortSlot(PortSlot* slot) {
    SlotUse* use = &PortUse[slot - PortTable];
    LockPortTable();
    if (use->state != SLOT_OPEN) {
        UnlockPortTable();
        return false;
    }
    use->state = SLOT_CLOSING;
    // The closer holds one reference itself.
    while (use->refs > 1) {
        UnlockPortTable();
        WaitForSingleObject(use->hRefDropped, INFINITE);
        LockPortTable();
    }
    UnlockPortTable();
    return true;
}

void FreePortSlot(PortSlot* slot) {
    SlotUse* use = &PortUse[slot - PortTable];
    LockPortTable();
    memset(slot, 0, sizeof *slot);
    slot->kind = PORT_KIND_FREE;
    use->state = SLOT_HIDDEN;
    use->refs = 0;
    UnlockPortTable();
}
