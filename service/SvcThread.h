// TServiceThread, the worker thread of a service object: it runs the service's main and,
// in between, the control requests that the control handler queues for it as thread
// messages; a pause suspends it until it is resumed. One per service run, shared between
// the service object and whoever posts to it, so that a request that lands as the run ends
// never reaches a released thread. Its operations may be called from any thread but the
// ones the comments name.
#pragma once

#include "common/ThreadSafety.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>

namespace keyrix {

// The system's thread messages.
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t CM_SERVICE_CONTROL_CODE = WM_USER + 1;  // wParam: control code
inline constexpr std::uint32_t CM_SERVICE_SESSION_CHANGE = WM_USER + 2;  // wParam: event type, lParam: session
inline constexpr std::uint32_t WM_POWERBROADCAST = 536;
inline constexpr std::uint32_t WM_DEVICECHANGE = 537;

class TServiceBase;

// The name of a control code 1 to 15, for the worker's "Service failed on %s: %s" entry.
const char* ControlName(std::uint32_t code);

// The worker thread of a service, with its own queue of thread messages.
class TServiceThread {
public:
    explicit TServiceThread(TServiceBase& service);  // created suspended: Start runs it
    TServiceThread(const TServiceThread&) = delete;
    TServiceThread& operator=(const TServiceThread&) = delete;
    ~TServiceThread();  // asks it to terminate and waits for it

    void Start();
    // Any thread but the worker itself may wait, also several at once.
    void WaitFor();
    // Asks the thread to terminate (resuming it if suspended) and waits for its end.
    void TerminateAndWait();
    bool Finished() const;
    // The thread's hidden window exists (only for services that need one).
    bool HasWindow() const { return FHasWindow; }

    // Queues a thread message (PostThreadMessage). Answers false once the thread has ended.
    bool PostMessage(std::uint32_t message, std::uintptr_t wParam, std::uintptr_t lParam);

    // Handles queued control requests: with wait, until terminated; without, those present.
    void ProcessRequests(bool waitForMessage);

    void Terminate();
    bool Terminated() const;
    // The worker suspends itself (pause); another thread resumes it.
    void Suspend();
    void Resume();
    bool Suspended() const;

private:
    struct TMessage {
        std::uint32_t Message;
        std::uintptr_t WParam, LParam;
    };
    void Execute();
    bool TakeMessage(bool wait, TMessage& message);

    TServiceBase& FService;
    TMutex FJoinLock KEYRIX_ACQUIRED_BEFORE(FLock);  // one joins, the others find it joined
    std::thread FThread KEYRIX_GUARDED_BY(FJoinLock);
    mutable TMutex FLock;
    std::condition_variable FChanged;
    std::deque<TMessage> FQueue KEYRIX_GUARDED_BY(FLock);
    bool FStarted KEYRIX_GUARDED_BY(FLock) = false;
    bool FFinished KEYRIX_GUARDED_BY(FLock) = false;
    bool FTerminated KEYRIX_GUARDED_BY(FLock) = false;
    bool FSuspended KEYRIX_GUARDED_BY(FLock) = false;
    bool FHasWindow = false;  // set and cleared on the worker thread, asked about only there
};

}  // namespace keyrix
