// Line settings of a terminal: the DCB as termios, its rates, a raw line, and the host's names
// for COM ports.
#include "tty.h"

#include <string.h>
#include <termios.h>

#include <string>
#include <sys/ioctl.h>

namespace caldrix_posix {

bool ComNameToTtyPath(const char* name, std::string* path) {
    if (name == nullptr || path == nullptr) return false;
    const char* p = name;
    if (strncmp(p, "\\\\.\\", 4) == 0) p += 4;
    const bool deviceForm = p != name;
    if (strncasecmp(p, "COM", 3) != 0) return false;
    p += 3;
    // Windows has no COM0 and no COM01; nine digits keep the number far from overflow.
    if (*p < '1' || *p > '9') return false;
    unsigned long n = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 9) return false;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
        ++p;
    }
    if (*p == ':' && !deviceForm) ++p;
    if (*p != '\0') return false;
    *path = "/dev/ttyS" + std::to_string(n - 1);
    return true;
}

bool TtyNameToComName(const std::string& ttyName, std::string* com) {
    if (ttyName.compare(0, 4, "ttyS") != 0 || ttyName.size() == 4 || ttyName.size() > 13 ||
        ttyName.find_first_not_of("0123456789", 4) != std::string::npos) {
        return false;
    }
    const std::string name = "COM" + std::to_string(std::stoul(ttyName.substr(4)) + 1);
    std::string path;
    if (!ComNameToTtyPath(name.c_str(), &path) || path != "/dev/" + ttyName) return false;
    *com = name;
    return true;
}

void LineFlagsFromDcb(const DCB& d, tcflag_t* cflag, tcflag_t* iflag) {
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t c = *cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    c |= kSizes[d.ByteSize >= 5 && d.ByteSize <= 8 ? d.ByteSize - 5 : 3];
    switch (d.Parity) {
        case ODDPARITY:
            c |= PARENB | PARODD;
            break;
        case EVENPARITY:
            c |= PARENB;
            break;
        case MARKPARITY:
            c |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            c |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (d.StopBits == TWOSTOPBITS) c |= CSTOPB;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) c |= CRTSCTS;
    *cflag = c;
    tcflag_t i = *iflag & ~(IXON | IXOFF | IXANY);
    if (d.fOutX) i |= IXON;
    if (d.fInX) i |= IXOFF;
    *iflag = i;
}

#ifdef CALDRIX_TTY_TERMIOS2
constexpr tcflag_t kBother = 0010000;  // BOTHER: the rate is in c_ispeed/c_ospeed
bool GetAttr(int fd, Attr* a) { return ioctl(fd, TCGETS2, a) == 0; }
bool SetAttr(int fd, const Attr& a) { return ioctl(fd, TCSETS2, &a) == 0; }
#else
bool GetAttr(int fd, Attr* a) { return tcgetattr(fd, a) == 0; }
bool SetAttr(int fd, const Attr& a) {
    if (tcsetattr(fd, TCSANOW, &a) == 0) return true;
    // glibc fails with EINVAL when the terminal kept other data bits or parity than asked, after
    // applying everything; a pseudo-terminal always does. SetCommState judges the framing of
    // real lines itself.
    const int err = errno;
    const tcflag_t framing = CSIZE | PARENB;
    Attr back;
    if (err == EINVAL && tcgetattr(fd, &back) == 0 &&
        (back.c_cflag & ~framing) == (a.c_cflag & ~framing))
        return true;
    errno = err;
    return false;
}
#endif

struct Rate {
    speed_t code;
    DWORD bps;
};

const Rate kRates[] = {
    {B50, 50},         {B75, 75},     {B110, 110},   {B134, 134},     {B150, 150},
    {B200, 200},       {B300, 300},   {B600, 600},   {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},     {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
#ifdef B57600
    {B57600, 57600},
#endif
#ifdef B115200
    {B115200, 115200},
#endif
#ifdef B230400
    {B230400, 230400},
#endif
#ifdef B460800
    {B460800, 460800},
#endif
#ifdef B921600
    {B921600, 921600},
#endif
};

static speed_t CodeOfRate(DWORD bps) {
    for (const Rate& r : kRates)
        if (r.bps == bps) return r.code;
    return 0;
}

static DWORD RateOfCode(speed_t code) {
    for (const Rate& r : kRates)
        if (r.code == code) return r.bps;
    return 0;
}

#ifdef CALDRIX_TTY_TERMIOS2
DWORD GetRate(const Attr& a) {
    const speed_t code = a.c_cflag & CBAUD;
    return code == kBother ? a.c_ospeed : RateOfCode(code);
}

void SetRate(Attr* a, DWORD bps) {
    const speed_t code = CodeOfRate(bps);
    // Clearing CIBAUD makes the input rate follow the output rate.
    a->c_cflag &= ~(CBAUD | CIBAUD);
    a->c_cflag |= code != 0 ? code : kBother;
    a->c_ispeed = bps;
    a->c_ospeed = bps;
}
#else
DWORD GetRate(const Attr& a) {
    const speed_t code = cfgetospeed(&a);
    const DWORD bps = RateOfCode(code);
    return bps != 0 || B9600 != 9600 ? bps : static_cast<DWORD>(code);
}

void SetRate(Attr* a, DWORD bps) {
    speed_t code = CodeOfRate(bps);
    if (code == 0) {
        if (B9600 == 9600) {
            code = static_cast<speed_t>(bps);  // the BSDs take any rate as a number
        } else {
            DWORD best = kRates[0].bps;
            code = kRates[0].code;
            for (const Rate& r : kRates) {
                const DWORD d = r.bps > bps ? r.bps - bps : bps - r.bps;
                const DWORD bestD = best > bps ? best - bps : bps - best;
                if (d < bestD) best = r.bps, code = r.code;
            }
        }
    }
    cfsetispeed(a, code);
    cfsetospeed(a, code);
}
#endif

// Raw 8-bit line: no echo, no line editing, no signals, no output processing, no translation.
// VMIN 1 / VTIME 0 makes an empty non-blocking read fail with EAGAIN, so that a read of 0 bytes
// means a hang-up. IGNBRK keeps a break out of the data, as Windows does; the driver still
// counts it.
void MakeRaw(Attr* a) {
    a->c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                    INPCK | IMAXBEL);
#ifdef IUCLC
    a->c_iflag &= ~IUCLC;
#endif
    a->c_iflag |= IGNBRK;
    a->c_oflag &= ~OPOST;
    a->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    a->c_cflag |= CLOCAL | CREAD;
    a->c_cc[VMIN] = 1;
    a->c_cc[VTIME] = 0;
}

// The DCB a fresh open reports: the terminal's current line settings plus the defaults of a
// Windows serial driver for what termios does not hold.
DCB DcbFromTerminal(const Attr& a, bool modemLines, int lines) {
    DCB d;
    memset(&d, 0, sizeof d);
    d.DCBlength = sizeof(DCB);
    d.BaudRate = GetRate(a);
    d.fBinary = 1;
    d.fParity = (a.c_iflag & INPCK) ? 1 : 0;
    const bool crtscts = CRTSCTS != 0 && (a.c_cflag & CRTSCTS);
    d.fOutxCtsFlow = crtscts ? 1 : 0;
    d.fDtrControl = !modemLines || (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    d.fTXContinueOnXoff = 1;
    d.fOutX = (a.c_iflag & IXON) ? 1 : 0;
    d.fInX = (a.c_iflag & IXOFF) ? 1 : 0;
    d.fRtsControl = crtscts                              ? RTS_CONTROL_HANDSHAKE
                    : !modemLines || (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE
                                                         : RTS_CONTROL_DISABLE;
    d.XonLim = 2048;
    d.XoffLim = 512;
    switch (a.c_cflag & CSIZE) {
        case CS5:
            d.ByteSize = 5;
            break;
        case CS6:
            d.ByteSize = 6;
            break;
        case CS7:
            d.ByteSize = 7;
            break;
        default:
            d.ByteSize = 8;
            break;
    }
    if (a.c_cflag & PARENB) {
        const bool odd = a.c_cflag & PARODD;
        if (CMSPAR != 0 && (a.c_cflag & CMSPAR))
            d.Parity = odd ? MARKPARITY : SPACEPARITY;
        else
            d.Parity = odd ? ODDPARITY : EVENPARITY;
    } else {
        d.Parity = NOPARITY;
    }
    d.StopBits = (a.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    // A disabled start or stop character reads as 0; report the driver's usual ones instead.
    d.XonChar = a.c_cc[VSTART] != 0 ? static_cast<char>(a.c_cc[VSTART]) : 0x11;
    d.XoffChar = a.c_cc[VSTOP] != 0 ? static_cast<char>(a.c_cc[VSTOP]) : 0x13;
    return d;
}

}  // namespace caldrix_posix
