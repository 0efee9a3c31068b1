// Locks that clang's thread-safety analysis (-Wthread-safety) can follow. A class that holds
// a lock declares it as a TMutex, marks the members it guards KEYRIX_GUARDED_BY(lock) and the
// functions that expect it held KEYRIX_REQUIRES(lock); the compiler then refuses a guarded
// member touched without the lock. std::mutex carries no such annotations in libstdc++, so
// these are thin wrappers over it. Under other compilers the annotations are empty.
#pragma once

#include <mutex>

#if defined(__clang__)
#define KEYRIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KEYRIX_THREAD_ANNOTATION(x)
#endif

#define KEYRIX_CAPABILITY(x) KEYRIX_THREAD_ANNOTATION(capability(x))
#define KEYRIX_SCOPED_CAPABILITY KEYRIX_THREAD_ANNOTATION(scoped_lockable)
#define KEYRIX_GUARDED_BY(x) KEYRIX_THREAD_ANNOTATION(guarded_by(x))
#define KEYRIX_PT_GUARDED_BY(x) KEYRIX_THREAD_ANNOTATION(pt_guarded_by(x))
#define KEYRIX_ACQUIRED_BEFORE(...) KEYRIX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define KEYRIX_REQUIRES(...) KEYRIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KEYRIX_ACQUIRE(...) KEYRIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KEYRIX_RELEASE(...) KEYRIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KEYRIX_EXCLUDES(...) KEYRIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KEYRIX_RETURN_CAPABILITY(x) KEYRIX_THREAD_ANNOTATION(lock_returned(x))
#define KEYRIX_NO_THREAD_SAFETY_ANALYSIS KEYRIX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace keyrix {

// A std::mutex the analysis knows as a capability.
class KEYRIX_CAPABILITY("mutex") TMutex {
public:
    void lock() KEYRIX_ACQUIRE() { FMutex.lock(); }
    void unlock() KEYRIX_RELEASE() { FMutex.unlock(); }
    // For std::unique_lock, which a condition variable waits on (TUniqueLock).
    std::mutex& Native() KEYRIX_RETURN_CAPABILITY(this) { return FMutex; }

private:
    std::mutex FMutex;
};

// Holds a TMutex for its scope, as std::lock_guard does.
class KEYRIX_SCOPED_CAPABILITY TMutexLock {
public:
    explicit TMutexLock(TMutex& mutex) KEYRIX_ACQUIRE(mutex) : FMutex(mutex) { FMutex.lock(); }
    ~TMutexLock() KEYRIX_RELEASE() { FMutex.unlock(); }
    TMutexLock(const TMutexLock&) = delete;
    TMutexLock& operator=(const TMutexLock&) = delete;

private:
    TMutex& FMutex;
};

// Holds a TMutex for its scope as a std::unique_lock, for a condition variable's waits. The
// analysis counts the lock as held throughout: a wait gives it up and takes it back before
// it returns, so the guarded members are the caller's again whenever the waiting code runs.
class KEYRIX_SCOPED_CAPABILITY TUniqueLock {
public:
    explicit TUniqueLock(TMutex& mutex) KEYRIX_ACQUIRE(mutex) : FLock(mutex.Native()) {}
    ~TUniqueLock() KEYRIX_RELEASE() {}
    TUniqueLock(const TUniqueLock&) = delete;
    // Gives the lock up before the scope ends (to notify without holding it, say).
    void Unlock() KEYRIX_RELEASE() { FLock.unlock(); }
    TUniqueLock& operator=(const TUniqueLock&) = delete;
    std::unique_lock<std::mutex>& Native() { return FLock; }

private:
    std::unique_lock<std::mutex> FLock;
};

}  // namespace keyrix
