// Line settings through termios2 (TCGETS2/TCSETS2 with BOTHER for any rate). Kept apart because
// <asm/termbits.h> cannot share a translation unit with <termios.h>.
#include "platform/posix/comm_p.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace platform
{

static_assert(sizeof(LineTermios) == sizeof(struct termios2));
static_assert(std::is_trivially_copyable_v<LineTermios>);
static_assert(offsetof(LineTermios, cc) == offsetof(struct termios2, c_cc));
static_assert(sizeof(LineTermios::cc) == sizeof(termios2::c_cc));
static_assert(offsetof(LineTermios, ispeed) == offsetof(struct termios2, c_ispeed));
static_assert(offsetof(LineTermios, ospeed) == offsetof(struct termios2, c_ospeed));

namespace
{

struct RateCode {
    uint32_t rate;
    uint32_t code;
};

// The kernel's fixed rates. Drivers handle these codes everywhere; BOTHER only where the driver
// computes its divisor from the number, which every current one does, but the codes cost nothing.
constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

uint32_t RateCodeFor(uint32_t rate)
{
    for (const RateCode& entry : kRates)
        if (entry.rate == rate)
            return entry.code;
    return BOTHER;
}

uint32_t SizeFlag(BYTE byteSize)
{
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

uint32_t ParityFlags(BYTE parity)
{
    switch (parity) {
    case ODDPARITY:
        return PARENB | PARODD;
    case EVENPARITY:
        return PARENB;
    case MARKPARITY:
        return PARENB | PARODD | CMSPAR;
    case SPACEPARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

} // namespace

bool IsValidDcb(const DCB& dcb)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || dcb.fDtrControl > DTR_CONTROL_HANDSHAKE)
        return false;
    // A UART sends 1.5 stop bits only after 5 data bits, and cannot send 2 after them.
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5)
        return false;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)
        return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return false;
    return true;
}

LineTermios TermiosFromDcb(const DCB& dcb)
{
    LineTermios t;
    // IGNBRK: a break must not turn into a NUL byte in the data; it is counted as a line error.
    // Nothing else in c_iflag: INPCK, PARMRK, ISTRIP, ICRNL and IXANY would alter or drop bytes.
    t.iflag = IGNBRK;
    if (dcb.fOutX)
        t.iflag |= IXON;
    if (dcb.fInX)
        t.iflag |= IXOFF;

    const uint32_t rateCode = RateCodeFor(dcb.BaudRate);
    // HUPCL: the last close drops DTR and RTS, as a close on Windows does, so a device that
    // watches DTR sees the host go.
    t.cflag = CREAD | CLOCAL | HUPCL | SizeFlag(dcb.ByteSize) | ParityFlags(dcb.Parity) | rateCode;
    // On Linux CSTOPB means 1.5 stop bits after 5 data bits and 2 otherwise.
    if (dcb.StopBits != ONESTOPBIT)
        t.cflag |= CSTOPB;
    // CRTSCTS couples both directions: CTS holds our output back and RTS drops when the input
    // queue fills. Windows sets the two halves apart; either one asks for both here.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.cflag |= CRTSCTS;
    // CIBAUD stays 0: the input rate follows the output rate.
    t.ispeed = dcb.BaudRate;
    t.ospeed = dcb.BaudRate;

    t.cc[VMIN] = 0;
    t.cc[VTIME] = 0;
    t.cc[VSTART] = static_cast<uint8_t>(dcb.XonChar);
    t.cc[VSTOP] = static_cast<uint8_t>(dcb.XoffChar);
    return t;
}

int ReadLineTermios(int fd, LineTermios* settings)
{
    struct termios2 kernel;
    if (ioctl(fd, TCGETS2, &kernel) != 0)
        return errno;
    std::memcpy(static_cast<void*>(settings), &kernel, sizeof kernel);
    return 0;
}

int WriteLineTermios(int fd, const LineTermios& settings)
{
    struct termios2 kernel;
    std::memcpy(&kernel, &settings, sizeof kernel);
    if (ioctl(fd, TCSETS2, &kernel) != 0)
        return errno;
    return 0;
}

} // namespace platform
