// Terminal devices behind CreateFileA: the part of the tty provider that is worth testing on
// its own.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <string>

#include "../win32_posix.h"

// The kernel's termios2, in the layout shared by x86, ARM and RISC-V. It cannot come from
// <asm/termbits.h>: that header redefines struct termios from <termios.h>. TCGETS2 names the
// type as `struct termios2`, so it must live at global scope.
#if defined(__linux__) && defined(TCGETS2) && defined(TCSETS2) &&                            \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || \
     defined(__riscv))
#define CALDRIX_TTY_TERMIOS2 1
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#endif

#ifndef CMSPAR
#define CMSPAR 0
#endif
#ifndef CRTSCTS
#define CRTSCTS 0
#endif

namespace caldrix_posix {

// COMn, COMn: and \\.\COMn (COM in any letter case, n a decimal number from 1 up, without
// leading zeros) name the host's n-th serial port, /dev/ttyS<n-1>. Sets *path and returns true
// for such a name; returns false, leaving *path alone, for any other.
bool ComNameToTtyPath(const char* name, std::string* path);
// The reverse, for a terminal's name in /dev: ttyS<n> is COM<n+1>. Sets *com and returns true
// only for a name that ComNameToTtyPath leads back to the same terminal.
bool TtyNameToComName(const std::string& ttyName, std::string* com);

// The termios flags a DCB asks for: in *cflag the data bits, parity, stop bits and CTS flow
// (CRTSCTS, which Linux couples with RTS flow); in *iflag Xon/Xoff output and input flow. Other
// bits are kept. The DCB must hold valid values; SetCommState checks them first.
void LineFlagsFromDcb(const DCB& dcb, tcflag_t* cflag, tcflag_t* iflag);

// A terminal's settings as the kernel holds them: termios2 where it exists, so that any rate can
// be set exactly.
#ifdef CALDRIX_TTY_TERMIOS2
typedef struct termios2 Attr;
#else
typedef struct termios Attr;
#endif
bool GetAttr(int fd, Attr* a);
bool SetAttr(int fd, const Attr& a);
DWORD GetRate(const Attr& a);
void SetRate(Attr* a, DWORD bps);
void MakeRaw(Attr* a);

// The DCB a fresh open reports: the terminal's current line settings plus the defaults of a
// Windows serial driver for what termios does not hold.
DCB DcbFromTerminal(const Attr& a, bool modemLines, int lines);

}  // namespace caldrix_posix
