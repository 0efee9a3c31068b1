// The demo HRM web service: one document served over HTTPS on 127.0.0.1 behind Basic
// authentication, with a self-signed certificate made when it starts. Each connection has
// a thread of its own; a connection silent for IdleLimit is closed, and stopping closes
// them all, so every wait is bounded.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace keyrix::demo {

struct TDemoServerOptions {
    int Port = 0;  // 0: a free port of the kernel's choice
    std::string Path = "/General/HrDataService.asmx/GetBrakonData";
    std::string User, Password;  // Basic: the user exactly as the client sends it, domain included
    std::string Body;
    std::string ContentType = "text/xml; charset=utf-8";
    std::uint64_t MaxRequests = 0;  // every answered request counts, challenges too; 0: no limit
    bool LogRequests = true;        // one line per request on the standard output
    // How long each authorised answer is held before it is sent (a slow HRM server, or one
    // a test holds while it stops the service); a line says so when the hold begins.
    std::chrono::seconds Delay{0};
};

class TDemoHttpsServer {
public:
    static constexpr std::chrono::seconds IdleLimit{30};

    // Makes the certificate and listens; raises std::runtime_error when it cannot.
    explicit TDemoHttpsServer(TDemoServerOptions options);
    TDemoHttpsServer(const TDemoHttpsServer&) = delete;
    TDemoHttpsServer& operator=(const TDemoHttpsServer&) = delete;
    ~TDemoHttpsServer();

    int Port() const { return FPort; }

    // Serves until MaxRequests requests were answered or stop is set (looked at every
    // 100 ms), then closes the open connections and returns once their threads ended.
    void Run(const std::atomic<bool>& stop);

private:
    struct TConnection {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Ended;
    };
    struct TContextFree {
        void operator()(SSL_CTX* context) const;
    };

    void Serve(int fd);
    // Answers one request; false when the connection is to close after it.
    bool Answer(SSL* ssl, const std::string& head);
    bool Authorized(const std::string& authorization) const;
    void Log(const std::string& line);

    TDemoServerOptions FOptions;
    std::unique_ptr<SSL_CTX, TContextFree> FContext;
    int FListen = -1;
    int FPort = 0;

    std::mutex FLock;
    std::set<int> FOpen;  // sockets of the connections being served
    std::uint64_t FAnswered = 0;
    bool FLimitReached = false;
    std::vector<TConnection> FConnections;
};

}  // namespace keyrix::demo
