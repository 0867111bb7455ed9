// The re-entrant locks of a dispatcher, with the annotations that let clang's thread-safety
// analysis check which lock guards which field (under gcc the annotations expand to nothing).
// The preset "thread-safety" builds with the analysis, its lock-order checks included. The
// analysis does not know that these locks are re-entrant: a function that needs a lock held
// says REQUIRES, one that may be called with or without it takes it itself and says nothing, and
// one that must never run under it (it waits for a thread that may need it) says EXCLUDES.
#pragma once

#include "platform/win32.h"

#if defined(__clang__)
#define LT_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define LT_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) LT_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY LT_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) LT_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) LT_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) LT_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) LT_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) LT_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) LT_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) LT_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) LT_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS LT_THREAD_ATTRIBUTE(no_thread_safety_analysis)

/// A re-entrant lock (a critical section): the thread that holds it may take it again and must
/// leave it as often as it entered. Created unlocked; must not be held when destroyed.
class CAPABILITY("mutex") TReentrantLock
{
public:
    TReentrantLock() { InitializeCriticalSection(&FSection); }
    ~TReentrantLock() { DeleteCriticalSection(&FSection); }
    TReentrantLock(const TReentrantLock&) = delete;
    TReentrantLock& operator=(const TReentrantLock&) = delete;

    void Enter() ACQUIRE() { EnterCriticalSection(&FSection); }
    void Leave() RELEASE() { LeaveCriticalSection(&FSection); }

private:
    CRITICAL_SECTION FSection;
};

/// Holds a TReentrantLock for the scope it lives in.
class SCOPED_CAPABILITY TLockGuard
{
public:
    explicit TLockGuard(TReentrantLock& lock) ACQUIRE(lock) : FLock(lock) { FLock.Enter(); }
    ~TLockGuard() RELEASE() { FLock.Leave(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

private:
    TReentrantLock& FLock;
};
