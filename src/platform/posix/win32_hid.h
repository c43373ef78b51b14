// SetupAPI and HID class library declarations of the POSIX subset (setupapi.h, hidsdi.h,
// hidpi.h), with the Windows SDK's names, types and layouts.
#pragma once
