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

// Whether COM names are the platform's device namespace. On Windows they are, and the serial
// backend maps the POSIX-style names of its table onto them; elsewhere a device path names the
// device itself and is opened as given.
#ifdef _WIN32
constexpr bool kComNamesAreDevices = true;
#else
constexpr bool kComNamesAreDevices = false;
#endif
