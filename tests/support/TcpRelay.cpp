#include "tests/support/TcpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace keyrix::test {

namespace {

constexpr std::size_t MaxPending = 1 << 20;  // per direction; reading stops above it
constexpr int PollMilliseconds = 20;

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Reads what is there into the buffer; false at the end of the stream or on an error.
bool ReadInto(int fd, std::string& buffer) {
    char chunk[65536];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got > 0) {
        buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Writes what the socket takes; false on an error.
bool WriteFrom(int fd, std::string& buffer, std::atomic<std::size_t>& forwarded) {
    const ssize_t sent = ::send(fd, buffer.data(), buffer.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
        buffer.erase(0, static_cast<std::size_t>(sent));
        forwarded += static_cast<std::size_t>(sent);
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

TTcpRelay::TTcpRelay(std::string targetHost, int targetPort)
    : FTargetHost(std::move(targetHost)), FTargetPort(targetPort) {
    FListener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (FListener.Get() < 0) throw SystemError("relay socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(FListener.Get(), 16) != 0 ||
        ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw SystemError("relay listen");
    FPort = ntohs(address.sin_port);
    SetNonBlocking(FListener.Get());
    FThread = std::thread([this] { Run(); });
}

TTcpRelay::~TTcpRelay() {
    FStop = true;
    FThread.join();
}

void TTcpRelay::Pause(std::chrono::milliseconds cutAfter) {
    FCutAt = std::chrono::steady_clock::now() + cutAfter;
    FPaused = true;
}

void TTcpRelay::CutAll() {
    const std::uint64_t asked = ++FCutsAsked;
    // The relay thread takes it within one poll round; the limit only guards a dead thread.
    for (int i = 0; i < 500 && FCutsDone < asked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TTcpRelay::Accept() {
    auto pair = std::make_unique<TPair>();
    pair->Client.Reset(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (pair->Client.Get() < 0) return;
    pair->Server.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (pair->Server.Get() < 0) return;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(FTargetPort));
    if (::inet_pton(AF_INET, FTargetHost.c_str(), &target.sin_addr) != 1) return;
    // A loopback connect completes at once or fails at once.
    if (::connect(pair->Server.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) return;
    SetNonBlocking(pair->Server.Get());
    ++FAccepted;
    FPairs.push_back(std::move(pair));
}

bool TTcpRelay::Pump(TPair& pair, bool clientReadable, bool serverReadable, bool clientWritable,
                     bool serverWritable) {
    if (clientReadable && !ReadInto(pair.Client.Get(), pair.ToServer)) return false;
    if (serverReadable && !ReadInto(pair.Server.Get(), pair.ToClient)) return false;
    if (serverWritable && !pair.ToServer.empty() && !WriteFrom(pair.Server.Get(), pair.ToServer, FForwarded))
        return false;
    if (clientWritable && !pair.ToClient.empty() && !WriteFrom(pair.Client.Get(), pair.ToClient, FForwarded))
        return false;
    return true;
}

void TTcpRelay::Run() {
    while (!FStop) {
        const std::uint64_t cuts = FCutsAsked;
        if (cuts != FCutsDone) {
            FPairs.clear();
            FCutsDone = cuts;
        }
        const bool paused = FPaused;
        if (paused && !FPairs.empty() && std::chrono::steady_clock::now() >= FCutAt.load()) FPairs.clear();
        std::vector<pollfd> fds{{FListener.Get(), POLLIN, 0}};
        for (const auto& pair : FPairs) {
            short client = 0, server = 0;
            if (!paused) {
                if (pair->ToServer.size() < MaxPending) client |= POLLIN;
                if (pair->ToClient.size() < MaxPending) server |= POLLIN;
                if (!pair->ToServer.empty()) server |= POLLOUT;
                if (!pair->ToClient.empty()) client |= POLLOUT;
            }
            fds.push_back({pair->Client.Get(), client, 0});
            fds.push_back({pair->Server.Get(), server, 0});
        }
        if (::poll(fds.data(), fds.size(), PollMilliseconds) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) Accept();
        std::size_t at = 1;
        for (auto it = FPairs.begin(); it != FPairs.end() && at + 1 < fds.size(); at += 2) {
            const pollfd& c = fds[at];
            const pollfd& s = fds[at + 1];
            // While paused nothing is read, so a hang-up is not noticed either: silence.
            const bool failed = !paused && ((c.revents | s.revents) & (POLLERR | POLLNVAL));
            const bool ok = !failed && Pump(**it, c.revents & (POLLIN | POLLHUP), s.revents & (POLLIN | POLLHUP),
                                             c.revents & POLLOUT, s.revents & POLLOUT);
            it = ok ? std::next(it) : FPairs.erase(it);
        }
    }
    FPairs.clear();
}

}  // namespace keyrix::test
