// Basic Win32 types, constants and the per-thread last error, as the stack uses them on POSIX.
#pragma once

#include <cstdint>
#include <string>

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using SHORT = int16_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;

using HANDLE = void*;
using LPHANDLE = HANDLE*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define WINAPI

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Win32 error numbers that the platform layer produces.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
// A number Windows leaves unused (73 to 79 are reserved): the user lacks the permission to open a
// serial device (EACCES/EPERM on the device node). Windows reports this case as
// ERROR_ACCESS_DENIED, which the port turns into "device already open" and which would send a
// Linux user the wrong way. Being below 162, it reaches the user as an input/output error with its
// text from the error texts (FormatMessageA), which names the permission problem.
constexpr DWORD ERROR_LINTAKER_NO_PERMISSION = 73;
// The file error a full disk gives a log or trace file: its own words, "Disk is full", are what
// the port's exception shows for a file that could not be written.
constexpr DWORD ERROR_LINTAKER_FILE_DISK_FULL = 101;

DWORD GetLastError();
void SetLastError(DWORD error);

namespace platform {
/// What the last failed open of a COM port on this thread learnt beyond its error number: for a
/// port held elsewhere the holder ("held by picocom (process 1234)", "locked by process 1234
/// (lock file /run/lock/LCK..ttyUSB0)", "already open in this program (process 99)"); empty
/// when there is nothing to add. Every CreateFileA of a COM name replaces it. Thread: any, per thread.
std::string GetLastErrorDetail();
void SetLastErrorDetail(std::string detail);

/// What a call was doing when it failed. One errno can mean different things to different calls
/// (EBUSY from opening a port is another program's exclusive use; EWOULDBLOCK from the port's lock
/// is another opener's lock, and from anything else only "not now"), so the caller says which.
enum class TErrnoUse {
    euGeneral,      ///< no meaning of its own: what Windows reports for the condition
    euPortOpen,     ///< finding, opening and reading the settings of a COM port's device node
    euPortLock,     ///< the lock (flock) that every cooperating opener of a port takes
    euLine,         ///< reads, writes and settings of an open port
    euLineFeature,  ///< line calls that some drivers lack: modem lines, error counters, break, flow
    euKernelObject, ///< creating the layer's own descriptors (event and epoll descriptors)
    euFileWrite,    ///< creating and writing a file: the trace and the dispatch log
};

/// Maps an errno value to the Win32 error number the stack expects, as `use` reads it: the only
/// place that does so. 0 gives ERROR_SUCCESS. On a port (euPortOpen, euPortLock, euLine,
/// euLineFeature) every way a vanished device shows (EIO, ENXIO, ENODEV, EPIPE) gives the one
/// ERROR_DEV_NOT_EXIST, a refusal ERROR_LINTAKER_NO_PERMISSION, and ERROR_ACCESS_DENIED only
/// means that somebody else holds the port; under euLineFeature a driver that lacks the call gives
/// ERROR_NOT_SUPPORTED. Thread: any.
DWORD Win32ErrorFromErrno(int error, TErrnoUse use = TErrnoUse::euGeneral);
} // namespace platform
