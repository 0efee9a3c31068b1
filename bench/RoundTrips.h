// Round trips to the database server, as the kernel counts them: every request the client
// library sends leaves in one TCP segment with data (the client turns Nagle's algorithm off,
// and a request is far below the loopback segment size), and the server answers each.
// Deferred requests (the client holds a cursor close or a statement drop back and sends it
// with the next request) ride in the same segment and cost no round trip of their own.
#pragma once

#include <cstdint>
#include <vector>

namespace keyrix::bench {

class TRoundTripMeter {
public:
    // Counts on the process's TCP connections to this port of the server.
    explicit TRoundTripMeter(int serverPort) : FPort(serverPort) {}

    // Looks the connections up again: after a connection was opened or closed.
    void Refresh();
    // The process's connections to the port now, whoever owns them.
    std::vector<int> Connections() const;
    // Counts on these connections only (Refresh finds all again).
    void Use(std::vector<int> sockets) { FSockets = std::move(sockets); }
    // Leaves these connections out of every later Refresh: another meter's.
    void Exclude(const std::vector<int>& sockets) { FExcluded = sockets; }
    const std::vector<int>& Sockets() const { return FSockets; }
    // Data segments sent so far on the connections last found (0 when none is open).
    std::uint64_t Sent() const;

private:
    int FPort;
    std::vector<int> FSockets;
    std::vector<int> FExcluded;
};

}  // namespace keyrix::bench
