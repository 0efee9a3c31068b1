// Bounds every wait on the database server. A frozen network path leaves a client call
// blocked in a read for ever (the client library has no read time-out), holding the pass
// transaction open, and a stop request cannot end it. One thread per attachment watches the
// call in progress and aborts the attachment when that call has not returned within the
// time-out; the blocked call then fails as a lost connection and the server rolls back.
#pragma once

#include "common/ThreadSafety.h"
#include "db/FbClient.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>

namespace keyrix {

class TFbCallWatchdog {
public:
    // The longest a single call may wait on the server unless the connection is told otherwise.
    static constexpr std::chrono::milliseconds DefaultTimeout = std::chrono::minutes(10);

    TFbCallWatchdog() = default;
    TFbCallWatchdog(const TFbCallWatchdog&) = delete;
    TFbCallWatchdog& operator=(const TFbCallWatchdog&) = delete;
    // Stops the thread; a call still marked is no longer watched.
    ~TFbCallWatchdog();

    // Zero or less: calls are not watched. Applies from the next call on.
    void SetTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds Timeout() const;

    // The attachment was aborted since the last Rearm: every later failure on it comes from that.
    bool Fired() const;
    // A new attachment starts unaborted.
    void Rearm();

    // Marks one client call on the attachment as in progress for its lifetime. The watchdog
    // aborts only while a mark is alive, under the lock that the mark's end also takes, so it
    // never touches a handle after the call that owned it has returned. A handle of 0 (the
    // attach itself, which has its own connect time-out) is not watched.
    // The client library's fb_cancel_operation.
    using TCancel = decltype(&::fb_cancel_operation);
    class TCall {
    public:
        TCall(TFbCallWatchdog& watchdog, TCancel cancel, isc_db_handle handle);
        TCall(const TCall&) = delete;
        TCall& operator=(const TCall&) = delete;
        ~TCall();

    private:
        TFbCallWatchdog* FWatchdog = nullptr;  // null when not watched
    };

private:
    void Run() KEYRIX_EXCLUDES(FMutex);

    mutable TMutex FMutex;
    std::condition_variable FWake;
    // Started with the first watched call (under the lock), joined by the destructor once
    // the thread was told to stop.
    std::thread FThread;
    bool FStop KEYRIX_GUARDED_BY(FMutex) = false;
    std::chrono::milliseconds FTimeout KEYRIX_GUARDED_BY(FMutex) = DefaultTimeout;
    // The call in progress (Depth > 0): how to cancel it, its attachment handle, its deadline.
    int FDepth KEYRIX_GUARDED_BY(FMutex) = 0;
    std::uint64_t FSerial KEYRIX_GUARDED_BY(FMutex) = 0;  // counts the outermost calls
    std::uint64_t FAbortedSerial KEYRIX_GUARDED_BY(FMutex) = 0;
    TCancel FCancel KEYRIX_GUARDED_BY(FMutex) = nullptr;
    isc_db_handle FHandle KEYRIX_GUARDED_BY(FMutex) = 0;
    std::chrono::steady_clock::time_point FDeadline KEYRIX_GUARDED_BY(FMutex);
    bool FFired KEYRIX_GUARDED_BY(FMutex) = false;
    // What the thread waits for (max: a new call). A new call wakes it only when its own
    // deadline comes sooner; otherwise the thread finds it when it looks again.
    std::chrono::steady_clock::time_point FWaitingUntil KEYRIX_GUARDED_BY(FMutex) =
        std::chrono::steady_clock::time_point::max();
};

}  // namespace keyrix
