// Serial communications calls of Win32 on POSIX ttys: opening COMn through the device map,
// overlapped reads, writes and line-event waits, line settings, modem lines and line errors.
#pragma once

#include "platform/posix/win32_base.h"
#include "platform/posix/win32_sync.h"

using PVOID = void*;

constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// ---- CreateFileA -----------------------------------------------------------------------------

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

/// Opens a serial port by the name "\\.\COMn" or "COMn" (n from 1, upper or lower case), which
/// the device map turns into a device node. The port is opened exclusively: a second opener,
/// in this process or another, fails with ERROR_ACCESS_DENIED. The line is put into raw mode
/// with 8 data bits, no parity, one stop bit and no flow control (the rate stays as it was), and
/// whatever the driver still held from an earlier user is discarded.
/// Creation must be OPEN_EXISTING; sharing, security and template are ignored. The handle
/// always behaves as opened with FILE_FLAG_OVERLAPPED.
/// @return the handle, or INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (no such port, or the
/// name is not a COM name), ERROR_ACCESS_DENIED (held by another opener),
/// ERROR_LINTAKER_NO_PERMISSION (the user may not open the device node), or another error the
/// system reported.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// ---- Overlapped operations -------------------------------------------------------------------

/// The record of one overlapped operation. Internal and InternalHigh belong to the platform
/// while the operation is pending; Offset and OffsetHigh are not used by serial ports.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

/// Reads what has arrived, up to `toRead` bytes, according to the port's time-outs. With
/// ReadIntervalTimeout MAXDWORD and the two read totals 0 (the serial stack's setting, and a new
/// handle's until SetCommTimeouts) it returns at once, possibly with 0 bytes. Reads always complete before
/// the call returns, also with an OVERLAPPED record: TRUE, the count in *bytesRead (when given) and in the
/// record, and the record's event set. Once the device has gone, reads succeed with 0 bytes.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);

/// Writes `toWrite` bytes. When the driver takes all of them at once: TRUE and the count.
/// Otherwise FALSE with ERROR_IO_PENDING: the rest is written in the background and the record's
/// event is set when all went out (GetOverlappedResult gives the count), or when PurgeComm with
/// PURGE_TXABORT abandoned the write (ERROR_OPERATION_ABORTED). Writes complete in the order
/// they were made. Without a record the call waits until the write has ended.
/// The buffer must stay untouched until the write has completed.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);

/// The result of an overlapped ReadFile, WriteFile or WaitCommEvent. wait FALSE: fails with
/// ERROR_IO_INCOMPLETE while the operation is pending. wait TRUE: waits for the record's event
/// (or, without an event, for the operation itself) without a time limit.
/// @return TRUE with the byte count (0 for a line-event wait), or FALSE with the operation's
/// error (ERROR_OPERATION_ABORTED for an abandoned operation, ERROR_DEV_NOT_EXIST for a device
/// that has gone). Thread: any; it reads only the record, so the port handle may already be closed.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);

// ---- Line settings ---------------------------------------------------------------------------

constexpr DWORD CBR_110 = 110;
constexpr DWORD CBR_300 = 300;
constexpr DWORD CBR_600 = 600;
constexpr DWORD CBR_1200 = 1200;
constexpr DWORD CBR_2400 = 2400;
constexpr DWORD CBR_4800 = 4800;
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_14400 = 14400;
constexpr DWORD CBR_19200 = 19200;
constexpr DWORD CBR_38400 = 38400;
constexpr DWORD CBR_56000 = 56000;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;
constexpr DWORD CBR_128000 = 128000;
constexpr DWORD CBR_256000 = 256000;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;

constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;

constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

/// The device configuration record.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;

/// Returns the record as last set (after opening: the rate the device had, 8 data bits, no
/// parity, one stop bit, DTR and RTS on, no flow control). Fields the line cannot honour come
/// back as they were set.
BOOL GetCommState(HANDLE file, LPDCB dcb);

/// Applies rate (any rate the driver accepts), 5 to 8 data bits, parity none, odd, even, mark or
/// space, 1, 1.5 (only with 5 data bits) or 2 stop bits (not with 5 data bits), RTS/CTS flow
/// (fOutxCtsFlow or RTS_CONTROL_HANDSHAKE) and XON/XOFF flow with its characters, and sets DTR
/// and RTS as fDtrControl and fRtsControl say. RTS_CONTROL_TOGGLE switches the driver's RS-485
/// mode where it has one; elsewhere RTS is raised before each write and lowered once the
/// transmitter has sent the last bit. DSR flow, DTR handshake, the XON/XOFF limits, parity checking and the
/// special characters have no counterpart here: they are kept in the record and nothing else.
/// Received bytes always pass unchanged (no stripping, no replacement, no NUL removal).
/// A change of rate, format or flow control first waits until the bytes written before it have
/// left the line (pending writes, the driver's queue, the transmitter), no longer than their line
/// time at the old settings plus a margin and never more than 10 s; output lines change at once.
/// The last close of the port drops DTR and RTS.
/// @return FALSE with ERROR_INVALID_PARAMETER for values outside these ranges (the device is
/// not touched), ERROR_DEV_NOT_EXIST once the device has gone, or with the driver's error.
BOOL SetCommState(HANDLE file, LPDCB dcb);

/// Queue sizes are the driver's own on this platform; the call checks the handle and succeeds.
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

/// Read time-outs as on Windows. Write time-outs are kept and returned but not applied: writes
/// end when the driver took every byte or when PurgeComm abandons them.
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);

// ---- Line events -----------------------------------------------------------------------------

constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;

/// Sets the events a wait reports; a pending WaitCommEvent ends at once, successfully, with an
/// event mask of 0. Events that happened before the call are forgotten.
/// Reported are EV_RXCHAR, EV_CTS, EV_DSR, EV_RLSD, EV_RING, EV_BREAK and EV_ERR; the other
/// Windows bits up to 0x1000 are accepted and never reported.
/// @return FALSE with ERROR_INVALID_PARAMETER for bits above 0x1000.
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL GetCommMask(HANDLE file, LPDWORD eventMask);

/// Waits for one of the events of the mask. With a record: TRUE when an event is already at hand
/// (*eventMask says which), else FALSE with ERROR_IO_PENDING; then *eventMask is written and the
/// record's event set when the wait ends (GetOverlappedResult tells success or failure).
/// Events are edges, as on Windows: EV_RXCHAR reports bytes that came since the last report,
/// so bytes left unread in the driver never end another wait; events that came while no wait was
/// pending end the next wait at once. Modem-line changes and line errors come from the driver
/// where it has them (not on pseudo-terminals) or from the test injections below.
/// A device that has gone ends the wait with failure (ERROR_DEV_NOT_EXIST) once; later waits stay
/// pending until SetCommMask or CloseHandle. CloseHandle ends a pending wait with
/// ERROR_OPERATION_ABORTED.
/// @return FALSE with ERROR_INVALID_PARAMETER when the mask is 0 or another wait is pending.
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped);

// ---- Line status, escapes, purging -----------------------------------------------------------

constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

/// The line errors (CE_*) since the previous call, which it clears, and the driver's queue counts:
/// cbInQue received bytes waiting (it stops growing near 4 KiB while more waits behind it, so read
/// until a read gives 0 bytes), cbOutQue bytes not yet sent (the driver's and those of pending
/// writes). On devices without error counters (pseudo-terminals) only injected errors show.
/// @return FALSE with ERROR_DEV_NOT_EXIST once the device has gone.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);

constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

/// SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXOFF, SETXON (RESETDEV does nothing).
/// On a device without modem lines (pseudo-terminals) the line calls succeed and do nothing.
/// @return FALSE with ERROR_INVALID_PARAMETER for other codes.
BOOL EscapeCommFunction(HANDLE file, DWORD function);

constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

/// The input lines (MS_*): the driver's, or 0 on devices without modem lines, together with the
/// injected ones.
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

/// PURGE_TXABORT ends pending writes with ERROR_OPERATION_ABORTED before it returns;
/// PURGE_TXCLEAR and PURGE_RXCLEAR discard what the driver holds; PURGE_RXABORT has nothing to
/// end (reads never pend).
BOOL PurgeComm(HANDLE file, DWORD flags);

namespace platform
{

/// Whether COM<number> is held by a program other than the caller's open of it (another process
/// that has the device open, a live UUCP lock file) or already open in this process, found
/// without opening the device or changing anything of it. `detail`, when given, then names the
/// holder as GetLastErrorDetail does. A port that does not exist is not held. Thread: any.
bool ComPortHeld(int number, std::string* detail);

} // namespace platform

// ---- Test hooks ------------------------------------------------------------------------------

namespace platform
{

/// Makes an open port show line errors (CE_* bits) as a UART would: ClearCommError reports them,
/// and a wait for EV_ERR (frame, overrun, parity, receive overflow) or EV_BREAK ends.
/// @return FALSE with ERROR_INVALID_HANDLE for a handle that is not an open port.
BOOL InjectCommErrorsForTesting(HANDLE file, DWORD errors);

/// Sets the input lines (MS_* bits) an open port shows on top of the driver's; a change ends a
/// wait for the matching EV_CTS, EV_DSR, EV_RLSD or EV_RING.
BOOL InjectModemStatusForTesting(HANDLE file, DWORD modemStatus);

/// How often the port's line-event worker has woken up since the port was opened: lets tests
/// prove that a port does not spin.
DWORD CommWorkerWakeupsForTesting(HANDLE file);

constexpr DWORD kTestLineDtr = 0x01;
constexpr DWORD kTestLineRts = 0x02;

/// The output lines (kTestLineDtr, kTestLineRts) as the port last asked the driver to set them,
/// also on devices without modem lines, and how often RTS was raised to switch an RS-485
/// transmitter on for sending (RTS_CONTROL_TOGGLE on a driver without an RS-485 mode).
/// @return FALSE with ERROR_INVALID_HANDLE for a handle that is not an open port.
BOOL CommOutputLinesForTesting(HANDLE file, LPDWORD lines, LPDWORD rtsRaises);

/// How often an open port has asked the driver about its line since it was opened: modem lines
/// (TIOCMGET: a USB transfer on many adapters), waits for a modem-line change (TIOCMIWAIT), error
/// counters (TIOCGICOUNT) and the output queue (TIOCOUTQ). Lets tests and measurements see what
/// an idle port costs.
struct CommQueryCounts {
    DWORD ModemLines = 0;
    DWORD ModemWaits = 0;
    DWORD ErrorCounts = 0;
    DWORD OutputQueue = 0;
};
BOOL CommQueryCountsForTesting(HANDLE file, CommQueryCounts* counts);

/// Makes an open port see `bytes` in the driver's output queue instead of what the driver reports
/// (pseudo-terminals always report 0), until called again; a negative count returns to the
/// driver's. Lets tests hold back the end of a write as a slow line would.
BOOL SetCommOutputQueueForTesting(HANDLE file, LONG bytes);

} // namespace platform
