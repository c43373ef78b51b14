// The one header through which the backends reach the operating system. On Windows it is the
// real API; elsewhere a compact implementation of the same subset, with the same names, types and
// error codes, so that the backends carry no platform conditionals.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <hidsdi.h>
#include <hidpi.h>
#include <nb30.h>
#else
#include "posix/win32_posix.h"
#endif

// Cancels transfers on `h`: the one started with `ov` by the calling thread, or (ov null) every
// transfer on the handle, whichever thread started it. CancelIoEx came with Vista, and the
// 32-bit DLL must load on XP-class point-of-sale systems, so on Windows it is looked up at run
// time. Without it, a thread's own transfer is cancelled with CancelIo (which cancels all of the
// calling thread's transfers on the handle: the library has one at a time per thread). Another
// thread's transfer cannot be cancelled on XP; a close relies on what needs no cancelling there:
// every overlapped wait of the HID backend also waits on the port's stop event and cancels its own
// transfer when woken, and serial transfers end at their time-outs.
#ifdef _WIN32
inline BOOL CancelTransfers(HANDLE h, LPOVERLAPPED ov) {
    typedef BOOL(WINAPI * CancelIoExFn)(HANDLE, LPOVERLAPPED);
    // Looked up once. A test seam: with CALDRIX_HIDE_CANCELIOEX set (to anything) the library
    // takes the path for systems without CancelIoEx, so the Wine tests can run it.
    static const CancelIoExFn cancelIoEx = []() -> CancelIoExFn {
        if (GetEnvironmentVariableA("CALDRIX_HIDE_CANCELIOEX", nullptr, 0) != 0) return nullptr;
        const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIoEx");
        return reinterpret_cast<CancelIoExFn>(reinterpret_cast<void*>(found));
    }();
    if (cancelIoEx != nullptr) return cancelIoEx(h, ov);
    if (ov != nullptr) return CancelIo(h);
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
#else
inline BOOL CancelTransfers(HANDLE h, LPOVERLAPPED ov) { return CancelIoEx(h, ov); }
#endif

#ifdef _WIN32
// See WaitCommInput in posix/win32_posix.h; here it is WaitCommEvent(EV_RXCHAR) on an overlapped
// handle, beside `stop` (comm_wait_win32.cpp).
DWORD WaitCommInput(HANDLE h, HANDLE stop, DWORD ms);
#endif

// Whether COM names are the platform's device namespace. On Windows they are, and the serial
// backend maps the POSIX-style names of its table onto them; elsewhere a device path names the
// device itself and is opened as given.
#ifdef _WIN32
constexpr bool kComNamesAreDevices = true;
#else
constexpr bool kComNamesAreDevices = false;
#endif
