// A TCP relay on 127.0.0.1 between a client and a real server, for tests of what a stalled
// or cut network path does. It listens on a free port and forwards each accepted connection
// to the target; Pause stops forwarding in both directions while every socket stays open
// (a frozen path: the peers see no error, only silence). One thread, non-blocking sockets
// and a bounded poll, so no wait in it lasts and the destructor always returns.
#pragma once

#include "platform/FileHandles.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace keyrix::test {

class TTcpRelay {
public:
    // Raises std::runtime_error when it cannot listen.
    TTcpRelay(std::string targetHost, int targetPort);
    TTcpRelay(const TTcpRelay&) = delete;
    TTcpRelay& operator=(const TTcpRelay&) = delete;
    ~TTcpRelay();

    int Port() const { return FPort; }
    // Stops forwarding; what arrives stays unread in the kernel's buffers. A pause that
    // nothing ends cuts the connections after cutAfter, so that the code under test never
    // waits for ever even when it has no limit of its own.
    void Pause(std::chrono::milliseconds cutAfter = std::chrono::seconds(60));
    void Resume() { FPaused = false; }
    // Closes every relayed connection on both sides, as a dropped path would end; returns
    // once they are closed (connections accepted after the call are not touched).
    void CutAll();
    // Connections accepted so far, and bytes forwarded (both directions).
    std::size_t Accepted() const { return FAccepted; }
    std::size_t Forwarded() const { return FForwarded; }

private:
    struct TPair {
        platform::TFd Client, Server;
        std::string ToServer, ToClient;  // read but not yet written
    };
    void Run();
    void Accept();
    // False when the pair is done (a side closed or failed).
    bool Pump(TPair& pair, bool clientReadable, bool serverReadable, bool clientWritable, bool serverWritable);

    std::string FTargetHost;
    int FTargetPort;
    platform::TFd FListener;
    int FPort = 0;
    std::atomic<bool> FPaused{false};
    std::atomic<std::chrono::steady_clock::time_point> FCutAt{};
    std::atomic<bool> FStop{false};
    std::atomic<std::uint64_t> FCutsAsked{0}, FCutsDone{0};
    std::atomic<std::size_t> FAccepted{0}, FForwarded{0};
    std::list<std::unique_ptr<TPair>> FPairs;  // the relay thread's own
    std::thread FThread;
};

}  // namespace keyrix::test
