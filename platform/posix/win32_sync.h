// Events, waits, critical sections, interlocked operations, sleeping and clocks: the Win32
// synchronisation calls the serial stack uses, on POSIX threads and the monotonic clock.
#pragma once

#include "platform/posix/win32_base.h"

// ---- Handles ---------------------------------------------------------------------------------

/// Closes any handle (event, comm device). An object that another thread is waiting on or working
/// with stays alive until that call has left. Fails with ERROR_INVALID_HANDLE for nullptr,
/// INVALID_HANDLE_VALUE and handles that are not open (closing twice is an error, not a crash).
BOOL CloseHandle(HANDLE handle);

// ---- Events and waits ------------------------------------------------------------------------

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

/// An unnamed event. manualReset: stays signalled until ResetEvent and releases every waiter;
/// otherwise SetEvent releases exactly one waiter (or the next one to come) and resets itself.
/// A name is refused with ERROR_NOT_SUPPORTED: events are not shared between processes here.
/// @return the handle, or nullptr (GetLastError says why).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

/// Waits until the event is signalled (consuming the signal of an auto-reset event) or the
/// time-out in milliseconds ends (INFINITE: never; 0: just tests).
/// @return WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (not an open event handle).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

/// waitAll FALSE: returns WAIT_OBJECT_0 + the lowest index among the signalled events and
/// consumes only that one. waitAll TRUE: returns WAIT_OBJECT_0 once all are signalled at the same
/// time, consuming all of them together; none is consumed before that.
/// WAIT_FAILED with ERROR_INVALID_PARAMETER for 0 or more than MAXIMUM_WAIT_OBJECTS handles, or
/// the same handle twice with waitAll.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Kinds of queue input, for MsgWaitForMultipleObjects. Posted messages count under QS_POSTMESSAGE,
// QS_ALLPOSTMESSAGE and QS_TIMER; calls sent from other threads under QS_SENDMESSAGE. The other
// bits (keyboard, mouse, paint) never occur here: no window on this layer is visible.
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_RAWINPUT = 0x0400;
constexpr DWORD QS_MOUSE = QS_MOUSEMOVE | QS_MOUSEBUTTON;
constexpr DWORD QS_INPUT = QS_MOUSE | QS_KEY | QS_RAWINPUT;
constexpr DWORD QS_ALLEVENTS = QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
constexpr DWORD QS_ALLINPUT = QS_ALLEVENTS | QS_SENDMESSAGE;

/// As WaitForMultipleObjects, and also returns WAIT_OBJECT_0 + count while the calling thread's
/// message queue holds input of a kind in wakeMask (a posted message, a call sent from another
/// thread). The caller then runs its queue with PeekMessageA. Unlike Windows, input already in the
/// queue counts too, not only input that came since the queue was last looked at, so no message
/// can be overlooked. count may be 0 (waits for queue input only). With waitAll it ends when all
/// objects are signalled or when queue input is there (Windows would want both at once; nothing
/// here waits that way).
/// Thread: any; the queue looked at is the caller's own.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                DWORD wakeMask);

// ---- Critical sections -----------------------------------------------------------------------

namespace platform
{
class CriticalSectionLock;
}

/// A re-entrant lock usable as a plain struct member: zero until InitializeCriticalSection, which
/// allocates the lock it points to; DeleteCriticalSection frees it again.
struct CRITICAL_SECTION {
    platform::CriticalSectionLock* Lock = nullptr;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
/// The section must not be held by any thread.
void DeleteCriticalSection(LPCRITICAL_SECTION section);
/// Re-entrant: the owning thread may enter again; it must leave as often as it entered.
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
/// TRUE when entered (also when the caller holds it already), FALSE when another thread holds it.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);

// ---- Interlocked operations (sequentially consistent, as on Windows) --------------------------

inline LONG InterlockedIncrement(volatile LONG* addend)
{
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* addend)
{
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
/// @return the previous value.
inline LONG InterlockedExchange(volatile LONG* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
/// @return the previous value; the exchange happened when it equals comparand.
inline LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
/// @return the previous value.
inline LONG InterlockedExchangeAdd(volatile LONG* addend, LONG value)
{
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline void* InterlockedExchangePointer(void* volatile* target, void* value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline void* InterlockedCompareExchangePointer(void* volatile* destination, void* exchange, void* comparand)
{
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// ---- Sleeping, clocks, threads ---------------------------------------------------------------

/// Sleeps at least the given milliseconds; Sleep(0) gives up the rest of the time slice.
void Sleep(DWORD milliseconds);

/// Always 10,000,000 counts per second (100 ns), as on current Windows: it fits in 32 bits, so
/// counts per millisecond come out exact.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
/// The monotonic clock in counts of QueryPerformanceFrequency; never goes back.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
/// Milliseconds on the monotonic clock since an arbitrary start; wraps after 2^32 ms (49.7 days).
DWORD timeGetTime();
/// As timeGetTime (the same clock and start).
DWORD GetTickCount();
ULONGLONG GetTickCount64();

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;     // 1..12
    WORD wDayOfWeek; // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

/// The wall-clock time in the local time zone.
void GetLocalTime(LPSYSTEMTIME time);
/// The wall-clock time in UTC.
void GetSystemTime(LPSYSTEMTIME time);

/// The kernel's id of the calling thread (unique among live threads of the system).
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
