// Pure logic of the serial calls: the kernel settings a device configuration record becomes,
// which records are refused, COM names, and the overlapped-record protocol.
#include "platform/posix/comm_p.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <termios.h>

namespace
{

using platform::LineTermios;
using platform::TermiosFromDcb;

DCB Dcb8N1(DWORD rate = 9600) { return platform::InitialDcb(rate); }

TEST(CommTermios, ARecordBecomesRawSettingsBuiltFromZero)
{
    DCB dcb = Dcb8N1();
    dcb.fParity = 1;
    dcb.fNull = 1;
    dcb.fErrorChar = 1;
    const LineTermios t = TermiosFromDcb(dcb);
    // Nothing that alters, drops or answers bytes; breaks do not become NULs.
    EXPECT_EQ(t.iflag, static_cast<uint32_t>(IGNBRK));
    EXPECT_EQ(t.oflag, 0u);
    EXPECT_EQ(t.lflag, 0u);
    // HUPCL: the last close drops DTR and RTS, so a device watching DTR sees the host go.
    EXPECT_EQ(t.cflag & (CREAD | CLOCAL | HUPCL | CSIZE),
              static_cast<uint32_t>(CREAD | CLOCAL | HUPCL | CS8));
    EXPECT_EQ(t.cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.cc[VMIN], 0);
    EXPECT_EQ(t.cc[VTIME], 0);
    EXPECT_EQ(t.cc[VINTR], 0); // disabled, in case the line discipline ever looked
}

TEST(CommTermios, SizeParityAndStopBits)
{
    const struct {
        BYTE size, parity, stop;
        uint32_t flags;
    } cases[] = {
        {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
        {6, NOPARITY, ONESTOPBIT, CS6},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {7, ODDPARITY, TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
        {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR},
        {8, SPACEPARITY, ONESTOPBIT, CS8 | PARENB | CMSPAR},
    };
    for (const auto& c : cases) {
        DCB dcb = Dcb8N1();
        dcb.ByteSize = c.size, dcb.Parity = c.parity, dcb.StopBits = c.stop;
        const uint32_t cflag = TermiosFromDcb(dcb).cflag;
        EXPECT_EQ(cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.flags)
            << int(c.size) << " " << int(c.parity) << " " << int(c.stop);
    }
}

TEST(CommTermios, StandardRatesUseTheirCodesOthersAnyRate)
{
    const struct {
        DWORD rate;
        uint32_t code;
    } cases[] = {
        {110, B110},      {300, B300},       {1200, B1200},    {9600, B9600},
        {19200, B19200},  {38400, B38400},   {57600, B57600},  {115200, B115200},
        {14400, CBAUDEX}, {250000, CBAUDEX}, {31250, CBAUDEX}, {3000001, CBAUDEX}, // BOTHER
    };
    for (const auto& c : cases) {
        const LineTermios t = TermiosFromDcb(Dcb8N1(c.rate));
        EXPECT_EQ(t.cflag & CBAUD, c.code) << c.rate;
        EXPECT_EQ(t.cflag & CIBAUD, 0u) << "input follows output";
        EXPECT_EQ(t.ospeed, c.rate);
        EXPECT_EQ(t.ispeed, c.rate);
    }
}

TEST(CommTermios, FlowControl)
{
    DCB cts = Dcb8N1();
    cts.fOutxCtsFlow = 1;
    DCB rts = Dcb8N1();
    rts.fRtsControl = RTS_CONTROL_HANDSHAKE;
    DCB toggle = Dcb8N1();
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    DCB dsr = Dcb8N1();
    dsr.fOutxDsrFlow = 1, dsr.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_TRUE(TermiosFromDcb(cts).cflag & CRTSCTS);
    EXPECT_TRUE(TermiosFromDcb(rts).cflag & CRTSCTS);
    EXPECT_FALSE(TermiosFromDcb(toggle).cflag & CRTSCTS);
    EXPECT_FALSE(TermiosFromDcb(dsr).cflag & CRTSCTS);

    DCB soft = Dcb8N1();
    soft.fOutX = 1, soft.XonChar = 'q', soft.XoffChar = 's';
    LineTermios t = TermiosFromDcb(soft);
    EXPECT_EQ(t.iflag & (IXON | IXOFF | IXANY), static_cast<uint32_t>(IXON));
    EXPECT_EQ(t.cc[VSTART], 'q');
    EXPECT_EQ(t.cc[VSTOP], 's');
    soft.fOutX = 0, soft.fInX = 1;
    EXPECT_EQ(TermiosFromDcb(soft).iflag & (IXON | IXOFF), static_cast<uint32_t>(IXOFF));
}

TEST(CommTermios, RecordsOutsideTheRangesAreRefused)
{
    const auto with = [](auto change) {
        DCB dcb = Dcb8N1();
        change(dcb);
        return dcb;
    };
    EXPECT_TRUE(platform::IsValidDcb(Dcb8N1()));
    EXPECT_TRUE(platform::IsValidDcb(with([](DCB& d) { d.ByteSize = 5, d.StopBits = ONE5STOPBITS; })));
    EXPECT_TRUE(platform::IsValidDcb(with([](DCB& d) { d.ByteSize = 7, d.StopBits = TWOSTOPBITS; })));
    EXPECT_TRUE(platform::IsValidDcb(with([](DCB& d) { d.XonChar = d.XoffChar = 0; }))); // no flow: no matter
    const DCB refused[] = {
        with([](DCB& d) { d.BaudRate = 0; }),
        with([](DCB& d) { d.ByteSize = 4; }),
        with([](DCB& d) { d.ByteSize = 9; }),
        with([](DCB& d) { d.Parity = 5; }),
        with([](DCB& d) { d.StopBits = 3; }),
        with([](DCB& d) { d.ByteSize = 8, d.StopBits = ONE5STOPBITS; }),
        with([](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }),
        with([](DCB& d) { d.fDtrControl = 3; }),
        with([](DCB& d) { d.fInX = 1, d.XonChar = d.XoffChar = 0x13; }),
    };
    for (const DCB& dcb : refused)
        EXPECT_FALSE(platform::IsValidDcb(dcb));
}

TEST(CommNames, OnlyComNamesWithANumberFromOne)
{
    const struct {
        const char* name;
        int number;
    } cases[] = {
        {"\\\\.\\COM1", 1}, {"COM1", 1}, {"\\\\.\\com12", 12}, {"cOm161", 161}, {"\\\\.\\COM0", 0},
        {"COM01", 0},       {"COM", 0},  {"COM1:", 0},         {"COM-1", 0},    {"\\\\?\\COM1", 0},
        {"/dev/ttyS0", 0},  {"LPT1", 0}, {"COM123456", 0},     {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::ComNumberFromName(c.name), c.number) << c.name;
    EXPECT_EQ(platform::ComNumberFromName(nullptr), 0);
}

TEST(CommOverlapped, ResultIsIncompleteUntilCompletedThenCarriesOutcomeAndCount)
{
    OVERLAPPED record{};
    record.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    DWORD count = 99;
    platform::BeginOverlapped(&record);
    EXPECT_EQ(WaitForSingleObject(record.hEvent, 0), WAIT_TIMEOUT) << "the start resets the event";
    EXPECT_FALSE(GetOverlappedResult(nullptr, &record, &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    platform::CompleteOverlapped(&record, ERROR_SUCCESS, 42);
    EXPECT_EQ(WaitForSingleObject(record.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(nullptr, &record, &count, TRUE));
    EXPECT_EQ(count, 42u);

    platform::BeginOverlapped(&record);
    platform::CompleteOverlapped(&record, ERROR_OPERATION_ABORTED, 7);
    EXPECT_FALSE(GetOverlappedResult(nullptr, &record, &count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(count, 7u);
    CloseHandle(record.hEvent);

    OVERLAPPED withoutEvent{};
    platform::BeginOverlapped(&withoutEvent);
    platform::CompleteOverlapped(&withoutEvent, ERROR_SUCCESS, 1);
    EXPECT_TRUE(GetOverlappedResult(nullptr, &withoutEvent, &count, TRUE));
}

} // namespace
