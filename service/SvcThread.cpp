// The worker thread of a service: runs its work and handles its control requests.
#include "service/SvcThread.h"

#include "common/Format.h"
#include "service/SvcConsole.h"
#include "service/SvcObject.h"

#include <pthread.h>

namespace keyrix {

namespace {

// The hidden windows of the process share one window class, registered while any exists.
TMutex WindowClassLock;
int WindowClassUsers KEYRIX_GUARDED_BY(WindowClassLock) = 0;

void AcquireWindowClass() {
    TMutexLock guard(WindowClassLock);
    ++WindowClassUsers;
}

void ReleaseWindowClass() {
    TMutexLock guard(WindowClassLock);
    --WindowClassUsers;
}

}  // namespace

TServiceThread::TServiceThread(TServiceBase& service) : FService(service) {}

TServiceThread::~TServiceThread() { TerminateAndWait(); }

void TServiceThread::TerminateAndWait() {
    Terminate();
    Resume();
    WaitFor();
}

void TServiceThread::Start() {
    TMutexLock joining(FJoinLock);
    TMutexLock guard(FLock);
    if (FStarted) return;
    FStarted = true;
    FThread = std::thread([this] { Execute(); });
}

void TServiceThread::WaitFor() {
    TMutexLock guard(FJoinLock);
    if (FThread.joinable()) FThread.join();
}

bool TServiceThread::Finished() const {
    TMutexLock guard(FLock);
    return FFinished;
}

bool TServiceThread::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::uintptr_t lParam) {
    TMutexLock guard(FLock);
    if (FFinished) return false;
    FQueue.push_back({message, wParam, lParam});
    FChanged.notify_all();
    return true;
}

void TServiceThread::Terminate() {
    TMutexLock guard(FLock);
    FTerminated = true;
    FChanged.notify_all();
}

bool TServiceThread::Terminated() const {
    TMutexLock guard(FLock);
    return FTerminated;
}

void TServiceThread::Suspend() {
    TUniqueLock guard(FLock);
    // A request that is already queued (continue, stop) would have resumed the thread had it
    // come a moment later: it ends the suspension too.
    FSuspended = true;
    while (FSuspended && FQueue.empty() && !FTerminated) FChanged.wait(guard.Native());
    FSuspended = false;
}

void TServiceThread::Resume() {
    TMutexLock guard(FLock);
    FSuspended = false;
    FChanged.notify_all();
}

bool TServiceThread::Suspended() const {
    TMutexLock guard(FLock);
    return FSuspended;
}

bool TServiceThread::TakeMessage(bool wait, TMessage& message) {
    TUniqueLock guard(FLock);
    if (wait)
        while (FQueue.empty() && !FTerminated) FChanged.wait(guard.Native());
    if (FQueue.empty()) return false;
    message = FQueue.front();
    FQueue.pop_front();
    return true;
}

void TServiceThread::ProcessRequests(bool waitForMessage) {
    for (;;) {
        if (waitForMessage && Terminated()) return;
        TMessage message{};
        if (!TakeMessage(waitForMessage, message)) {
            if (waitForMessage) continue;  // woken by Terminate: checked above
            return;
        }
        if (message.Message != CM_SERVICE_CONTROL_CODE && message.Message != CM_SERVICE_SESSION_CHANGE) {
            // Window messages reach the hidden window, if there is one; others are dropped.
            if (FHasWindow) {
                try {
                    FService.WndProc(message.Message, message.WParam, message.LParam);
                } catch (const std::exception& error) {
                    bool abort = false;
                    if (FService.DoRunException(error, abort))
                        FService.LogError(Format("Service failed on %s: %s",
                                                 Format("Message $%.8X", message.Message), error.what()));
                    if (abort) throw EAbort("");
                }
            }
            continue;
        }

        const TCurrentStatus remembered = FService.Status();
        const auto code = static_cast<std::uint32_t>(message.WParam);
        try {
            if (message.Message == CM_SERVICE_SESSION_CHANGE) {
                FService.DoSessionChange(code, static_cast<std::uint32_t>(message.LParam));
                continue;
            }
            bool ok = true;
            switch (code) {
                case 1: ok = FService.DoStop(); break;
                case 2: ok = FService.DoPause(); break;
                case 3: ok = FService.DoContinue(); break;
                case 4: FService.DoInterrogate(); break;
                case 5: FService.DoShutdown(); break;
                case 6: FService.DoParamChange(); break;
                case 7:
                case 8:
                case 9:
                case 10: FService.DoNetBindChange(code); break;
                case 15: FService.DoPreShutdown(); break;
                default: FService.DoCustomControl(code); break;
            }
            if (!ok) FService.SetStatus(remembered);
        } catch (const std::exception& error) {
            const bool session = message.Message == CM_SERVICE_SESSION_CHANGE;
            if (session || code != 5) FService.SetStatus(remembered);
            bool abort = false;
            if (FService.DoRunException(error, abort)) {
                const TErrorInfo info = DescribeException(error);
                if (session)
                    FService.LogError(Format("Service failed on %s: %s", "SessionChange", info.Message));
                else if (code == 0 || code > 15)
                    FService.LogError(Format("Service failed in custom message(%d): %s", code, info.Message));
                else
                    FService.LogError(Format("Service failed on %s: %s", ControlName(code), info.Message));
            }
            if (abort) throw EAbort("");
        }
    }
}

void TServiceThread::Execute() {
    ConsoleWrite("Worker thread execute", false, 3);
    pthread_setname_np(pthread_self(), "Service work");
    bool started = false;
    try {
        FService.SetStatus(TCurrentStatus::csStartPending);
        started = true;
        if (FService.NeedsThreadWindow()) {
            AcquireWindowClass();
            FHasWindow = true;
        }
        if (FService.LogOptions.LogSCEvents) FService.LogInfo(FService.DisplayName() + " started!");
        if (FService.OnStart) FService.OnStart(FService, started);
    } catch (const EAbort&) {
        started = false;
    } catch (...) {
        started = false;
        FService.LogError(Format("Service failed on %s: %s", "start", DescribeCurrentException().Message));
    }
    if (started) {
        try {
            FService.SetStatus(TCurrentStatus::csRunning);
            if (FService.OnExecute)
                FService.OnExecute(FService);
            else
                ProcessRequests(true);
            ProcessRequests(false);
        } catch (const EAbort&) {
        } catch (...) {
            FService.LogError(Format("Service failed on %s: %s", "execute", DescribeCurrentException().Message));
        }
    }
    if (FHasWindow) {
        FHasWindow = false;
        ReleaseWindowClass();
    }
    ConsoleWrite("Worker thread exiting", false, 3);
    TMutexLock guard(FLock);
    FFinished = true;
}

}  // namespace keyrix
