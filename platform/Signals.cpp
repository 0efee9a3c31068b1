#include "platform/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace keyrix::platform {

namespace {

// SIGUSR2 wakes the thread at shut-down.
constexpr int WakeSignal = SIGUSR2;

sigset_t HandledSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, WakeSignal);
    return set;
}

}  // namespace

void TSignalThread::BlockHandledSignals() {
    sigset_t set = HandledSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalThread& TSignalThread::Instance() {
    static TSignalThread instance;
    return instance;
}

TSignalThread::TSignalThread() {
    BlockHandledSignals();
    FThread = std::thread([this] { Run(); });
}

TSignalThread::~TSignalThread() {
    {
        TMutexLock guard(FLock);
        FHandlers.clear();
        FHandlers[WakeSignal] = nullptr;  // marks the end
    }
    pthread_kill(FThread.native_handle(), WakeSignal);
    FThread.join();
}

void TSignalThread::SetHandler(int signal, std::function<void()> handler) {
    TMutexLock guard(FLock);
    FHandlers[signal] = std::move(handler);
}

void TSignalThread::Run() {
    pthread_setname_np(pthread_self(), "Signals");
    const sigset_t set = HandledSet();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        std::function<void()> handler;
        {
            TMutexLock guard(FLock);
            if (signal == WakeSignal) {
                if (FHandlers.count(WakeSignal)) return;
                continue;
            }
            auto it = FHandlers.find(signal);
            if (it != FHandlers.end()) handler = it->second;
        }
        if (handler) {
            handler();
        } else {
            // Nobody takes it: the default action, as if it had never been blocked.
            ::signal(signal, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, signal);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(signal);
        }
    }
}

}  // namespace keyrix::platform
