#include "db/FbWatchdog.h"

namespace keyrix {

TFbCallWatchdog::~TFbCallWatchdog() {
    {
        TMutexLock lock(FMutex);
        FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
}

void TFbCallWatchdog::SetTimeout(std::chrono::milliseconds timeout) {
    TMutexLock lock(FMutex);
    FTimeout = timeout;
}

std::chrono::milliseconds TFbCallWatchdog::Timeout() const {
    TMutexLock lock(FMutex);
    return FTimeout;
}

bool TFbCallWatchdog::Fired() const {
    TMutexLock lock(FMutex);
    return FFired;
}

void TFbCallWatchdog::Rearm() {
    TMutexLock lock(FMutex);
    FFired = false;
}

TFbCallWatchdog::TCall::TCall(TFbCallWatchdog& watchdog, TCancel cancel, isc_db_handle handle) {
    if (handle == 0 || cancel == nullptr) return;
    TUniqueLock lock(watchdog.FMutex);
    if (watchdog.FDepth == 0) {
        if (watchdog.FTimeout <= std::chrono::milliseconds::zero() || watchdog.FStop) return;
        ++watchdog.FSerial;
        watchdog.FCancel = cancel;
        watchdog.FHandle = handle;
        watchdog.FDeadline = std::chrono::steady_clock::now() + watchdog.FTimeout;
        if (!watchdog.FThread.joinable()) watchdog.FThread = std::thread([&watchdog] { watchdog.Run(); });
    }
    ++watchdog.FDepth;
    FWatchdog = &watchdog;
    const bool wake = watchdog.FDeadline < watchdog.FWaitingUntil;
    lock.Unlock();
    if (wake) watchdog.FWake.notify_all();
}

TFbCallWatchdog::TCall::~TCall() {
    if (FWatchdog == nullptr) return;
    // Waits for an abort under way: once this returns the handle is not used any more.
    TMutexLock lock(FWatchdog->FMutex);
    if (--FWatchdog->FDepth == 0) {
        FWatchdog->FCancel = nullptr;
        FWatchdog->FHandle = 0;
    }
}

void TFbCallWatchdog::Run() {
    TUniqueLock lock(FMutex);
    while (!FStop) {
        if (FDepth == 0 || FAbortedSerial == FSerial) {
            FWaitingUntil = std::chrono::steady_clock::time_point::max();
            FWake.wait(lock.Native());
            continue;
        }
        if (std::chrono::steady_clock::now() < FDeadline) {
            FWaitingUntil = FDeadline;
            FWake.wait_until(lock.Native(), FDeadline);
            continue;
        }
        // The abort closes the client side of the connection: the blocked call returns
        // with a network error, and the server rolls back the attachment's transactions.
        // It is made under the lock, so the call cannot end and its handle go meanwhile.
        FAbortedSerial = FSerial;
        FFired = true;
        ISC_STATUS_ARRAY status{};
        isc_db_handle handle = FHandle;
        FCancel(status, &handle, fb_cancel_abort);
    }
}

}  // namespace keyrix
