// Where a HID or USB printer port's device is found: the interface class its name asks for, the
// text a device path must contain, and the SetupAPI walk over the class's interfaces. The open
// and the port lister both walk with these, so the lister shows what an open does.
#pragma once

#include <stddef.h>

#include "hid_internal.h"

// USBPTR names search the USB printer class, every other HID name hid.dll's HID class.
GUID InterfaceClass(const HidLibrary* hid, bool printer);

// The lower-case text a device path must contain to be this port's device. Always
// NUL-terminated; `size` of MAX_PORT_NAME + 1 holds every match text.
void BuildMatchText(const PortSlot* slot, char* out, size_t size);

// The interfaces of one class in enumeration order, passing over those whose device path cannot
// be read, as the search counts them.
class InterfaceWalk {
public:
    explicit InterfaceWalk(const GUID& cls);
    ~InterfaceWalk();
    InterfaceWalk(const InterfaceWalk&) = delete;
    InterfaceWalk& operator=(const InterfaceWalk&) = delete;

    // False when the device-information set could not be made; FailedStep and Error say why.
    bool Opened() const { return set_ != INVALID_HANDLE_VALUE; }
    // Steps to the next interface. False at the end of the class (Error is ERROR_NO_MORE_ITEMS)
    // or when a step failed (FailedStep names it).
    bool Next();
    // The current interface's device path, until the next step or the walk's end.
    const char* Path() const { return detail_ == nullptr ? nullptr : detail_->DevicePath; }
    // Gives the device-information set back and keeps the current path.
    void EndKeepingPath();

    const char* FailedStep() const { return step_; }
    DWORD Error() const { return error_; }

private:
    void Fail(const char* step, DWORD error);

    GUID cls_;
    HDEVINFO set_;
    DWORD index_ = 0;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail_ = nullptr;
    const char* step_ = nullptr;
    DWORD error_ = 0;
};

// The search itself: steps `walk` on to the interface a port opens, the `instance`-th whose device
// path contains `match`. False when none does (the walk's Error is then ERROR_NO_MORE_ITEMS) or a
// step failed.
bool SeekInterface(InterfaceWalk* walk, const char* match, int32_t instance);
