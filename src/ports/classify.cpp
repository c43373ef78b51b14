#include "classify.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <climits>

#include "../fail/log.h"

char* StrUpper(char* s) {
    for (char* p = s; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    return s;
}

int32_t SetDeviceInfo(const char* name, PortSlot* slot) {
    size_t len = strnlen(name, MAX_PORT_NAME);
    char upper[MAX_PORT_NAME + 1];
    memcpy(upper, name, len);
    upper[len] = '\0';
    StrUpper(upper);

    memcpy(slot->name, name, len);
    slot->name[len] = '\0';

    // "ttyUSB" names are USB-serial adapters: serial lines despite the USB in their name. So are
    // the stable links under /dev/serial/ (by-id names begin "usb-"), which name nothing else.
    if (strstr(upper, "TTYUSB") != nullptr || strstr(upper, "USB") == nullptr ||
        strncmp(name, "/dev/serial/", 12) == 0) {
        slot->kind = PORT_KIND_SERIAL;
        return 0;
    }
    int32_t result = getIDS(slot);
    if (result == 0) slot->kind = PORT_KIND_HID;
    return result;
}

int VidPidNames(unsigned vid, unsigned pid, bool printer, char names[2][VID_PID_NAME_SIZE]) {
    vid &= 0xFFFF;
    pid &= 0xFFFF;
    int n = 0;
    if (!printer) snprintf(names[n++], VID_PID_NAME_SIZE, "/USB/0x%04x/0x%04x", vid, pid);
    snprintf(names[n++], VID_PID_NAME_SIZE, "%s: VID_%04X+PID_%04X", printer ? "USBPTR" : "USBHID",
             vid, pid);
    return n;
}

// strtol with base 0, clamped to the signed 32-bit range whatever the width of long.
static int32_t ParseNumber(const char* text, const char** end) {
    char* stop = nullptr;
    long long value = strtoll(text, &stop, 0);
    *end = stop;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t getIDS(PortSlot* slot) {
    USBDev* dev = &slot->dev;
    const char* name = slot->name;
    dev->instance = 1;

    // Keywords count only in upper case; the first matching rule wins.
    if (strstr(name, "USBHID") || strstr(name, "USBPTR") || strstr(name, "USBAIO") ||
        strstr(name, "USBLCD1") || strstr(name, "USBLCD2")) {
        if (strstr(name, "USBPTR")) {
            dev->deviceType = DEVICE_USBPTR;
        } else if (strstr(name, "USBAIO")) {
            dev->deviceType = DEVICE_USBAIO;
            dev->instance = 1;
        } else if (strstr(name, "USBLCD1")) {
            dev->deviceType = DEVICE_USBLCD1;
            dev->instance = 1;
        } else if (strstr(name, "USBLCD2")) {
            dev->deviceType = DEVICE_USBLCD2;
            dev->instance = 2;
        } else {
            dev->deviceType = DEVICE_USBHID;
        }
        return 0;
    }

    int slashes = 0;
    const char* second = nullptr;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '/' && ++slashes == 2) second = p;
    }
    if (slashes != 3) {
        LogLine("getIDS: Error in string; i = %d\n", slashes);
        return -1;
    }

    const char* stop = nullptr;
    dev->vid = ParseNumber(second + 1, &stop);
    // The PID starts one past where the VID stopped: the third '/' for a well-formed name. The
    // VID parse always stops at or before that '/', so this stays inside the name.
    const char* pidText = (*stop != '\0') ? stop + 1 : stop;
    dev->pid = ParseNumber(pidText, &stop);
    return 0;
}
