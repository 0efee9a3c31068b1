// Shared building blocks: the error classes, the re-entrant lock of the database layer,
// tick arithmetic and the Null-making parameter helpers.
#pragma once

#include "common/Exceptions.h"
#include "common/Variant.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace keyrix {

// Mutual exclusion between threads, re-entrant for the thread that holds it.
// Meets BasicLockable, so std::lock_guard and std::scoped_lock work with it.
class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;
    virtual ~TCriticalSection() = default;

    virtual void Acquire() { FMutex.lock(); }
    virtual void Release() { FMutex.unlock(); }

    void lock() { Acquire(); }
    void unlock() { Release(); }

protected:
    std::recursive_mutex FMutex;
};

// The database lock. Keeps track of its owner so that a release by a thread that does not
// hold it is caught as a bug instead of corrupting the mutex.
class TDebugCriticalSection : public TCriticalSection {
public:
    virtual void Lock();
    virtual void Unlock();

    // Takes the lock if it is free or already held by this thread.
    bool TryLock();

    bool HeldByCurrentThread() const { return FOwner.load() == std::this_thread::get_id(); }
    unsigned Depth() const { return FDepth; }  // meaningful to the holder only

    void Acquire() override { Lock(); }
    void Release() override { Unlock(); }

private:
    std::atomic<std::thread::id> FOwner{};
    unsigned FDepth = 0;
};

// A millisecond tick counter that wraps at 2^32, like the Windows one.
std::uint32_t GetTickCount();

// Milliseconds from start to now in 32-bit unsigned arithmetic, right across a wrap.
inline std::uint32_t TicksSince(std::uint32_t start, std::uint32_t now) { return now - start; }
inline std::uint32_t TicksSince(std::uint32_t start) { return TicksSince(start, GetTickCount()); }

// Parameter helpers: Null when the value stands for nothing.
void NullIfEmpty(const std::string& text, TValue& parameter);
void NullIfEqual(std::int32_t value, std::int32_t sentinel, TValue& parameter);

}  // namespace keyrix
