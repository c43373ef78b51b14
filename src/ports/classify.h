// Port-name classification: the name alone says whether a port is a serial line or a HID device.
#pragma once

#include "port_table.h"

// 0 with slot->name and slot->kind set (and the HID fields for a HID name); -1 when the name is
// a malformed vendor/product name, kind left free.
int32_t SetDeviceInfo(const char* name, PortSlot* slot);

// The names that classify as a device of this vendor and product (each 0 to 0xFFFF): for a HID
// device "/USB/0xVVVV/0xPPPP" and "USBHID: VID_VVVV+PID_PPPP", for a printer "USBPTR: ...".
// Answers how many it wrote to names, in the order the port lister shows them.
#define VID_PID_NAME_SIZE 32
int VidPidNames(unsigned vid, unsigned pid, bool printer, char names[2][VID_PID_NAME_SIZE]);

// Fills instance, deviceType or vid/pid from slot->name. 0, or -1 for a malformed name.
int32_t getIDS(PortSlot* slot);

// ASCII a-z to A-Z in place; every other byte, 0x80 and up included, stays.
char* StrUpper(char* s);
