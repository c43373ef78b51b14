// Terminal devices behind CreateFileA: the part of the tty provider that is worth testing on
// its own.
#pragma once

#include <termios.h>

#include <string>

#include "win32_posix.h"

namespace caldrix_posix {

// COMn, COMn: and \\.\COMn (COM in any letter case, n a decimal number from 1 up, without
// leading zeros) name the host's n-th serial port, /dev/ttyS<n-1>. Sets *path and returns true
// for such a name; returns false, leaving *path alone, for any other.
bool ComNameToTtyPath(const char* name, std::string* path);

// The termios flags a DCB asks for: in *cflag the data bits, parity, stop bits and CTS flow
// (CRTSCTS, which Linux couples with RTS flow); in *iflag Xon/Xoff output and input flow. Other
// bits are kept. The DCB must hold valid values; SetCommState checks them first.
void LineFlagsFromDcb(const DCB& dcb, tcflag_t* cflag, tcflag_t* iflag);

}  // namespace caldrix_posix
