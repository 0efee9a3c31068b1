// Signals taken on a thread of their own with sigwait, never inside a signal handler, so
// their handlers may lock, write and post like any other code.
#pragma once

#include "common/ThreadSafety.h"

#include <functional>
#include <map>
#include <thread>

namespace keyrix::platform {

class TSignalThread {
public:
    // Blocks the signals the process handles (SIGINT, SIGTERM, SIGHUP) in the calling
    // thread; threads created afterwards inherit the mask.
    static void BlockHandledSignals();

    // The process's one signal thread, started on first use, which blocks the handled
    // signals in the calling thread. A process that takes signals makes that first use on
    // its main thread before any other thread exists; a process that never does keeps the
    // default actions.
    static TSignalThread& Instance();

    // Runs the handler on the signal thread for each arrival of the signal; an empty
    // handler restores the default action (the process ends). A handler must return soon:
    // the next signal waits for it.
    void SetHandler(int signal, std::function<void()> handler);

    ~TSignalThread();

private:
    TSignalThread();
    void Run();

    TMutex FLock;
    std::map<int, std::function<void()>> FHandlers KEYRIX_GUARDED_BY(FLock);
    std::thread FThread;
};

}  // namespace keyrix::platform
