// A real HTTPS server on 127.0.0.1 for the download tests: a listening socket of its own on
// a free port, a certificate made when it starts, answers from a handler, and a record of
// the connections and requests it saw. Every wait is bounded; it stops serving by itself.
#pragma once

#include <openssl/tls1.h>
#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace keyrix::test {

struct THttpRequest {
    std::size_t Connection = 0;  // 1 for the first connection the server accepted
    std::string Method, Target, Version;
    std::vector<std::pair<std::string, std::string>> Headers;
    // The first header of that name, compared in any case.
    std::optional<std::string> Header(std::string_view name) const;
};

struct THttpResponse {
    int Status = 200;
    std::string Reason = "OK";
    std::vector<std::string> Headers;  // "Name: value"; Content-Length is always added
    std::string Body;
    bool Close = false;                    // "Connection: close", then the server closes
    std::optional<std::size_t> StallAfter;  // body bytes sent before the server falls silent
    // Body bytes sent before the server drops the connection (no TLS close, as a cut path ends).
    std::optional<std::size_t> CloseAfter;
    // The Content-Length to announce instead of the body's own; the body is sent, then the
    // server waits for the client to give up.
    std::optional<std::uint64_t> AnnouncedLength;
    // Sent chunked (no Content-Length), the body Repeat times over, one chunk each: a large
    // Repeat is a body without end, which stops when the client closes.
    bool Chunked = false;
    std::uint64_t Repeat = 1;
    // The body sent TrickleBytes at a time, TrickleInterval apart (a slow server); 0: at once.
    std::size_t TrickleBytes = 0;
    std::chrono::milliseconds TrickleInterval{0};
};

struct TServerTls {
    int MinVersion = TLS1_2_VERSION;
    int MaxVersion = TLS1_2_VERSION;
    std::string Ciphers = "ALL";
    bool ExpiredCertificate = false;  // otherwise valid from an hour ago for a month
    bool RsaKey = false;              // otherwise P-256
};

// PEM files of a certificate (its chain after it) and its key, in place of the one made when
// the server starts; empty: that one.
struct TServerCertificate {
    std::string CertificateFile, KeyFile;
};

struct TConnectionRecord {
    bool Handshake = false;
    std::string Protocol, Cipher;  // of a completed handshake
    std::string HandshakeError;    // OpenSSL's text for a failed one
    bool ClosedByClient = false;
    bool Ended = false;  // the server is done with it
};

class THttpsTestServer {
public:
    using THandler = std::function<THttpResponse(const THttpRequest&)>;

    // Serving ends by itself after Lifetime; a connection gives up after IdleLimit without traffic.
    static constexpr std::chrono::seconds Lifetime{120};
    static constexpr std::chrono::seconds IdleLimit{20};

    explicit THttpsTestServer(THandler handler, TServerTls tls = {}, TServerCertificate certificate = {});
    THttpsTestServer(const THttpsTestServer&) = delete;
    THttpsTestServer& operator=(const THttpsTestServer&) = delete;
    ~THttpsTestServer();

    int Port() const { return FPort; }
    std::string Url(const std::string& path = "/feed") const;

    std::vector<THttpRequest> Requests() const;
    std::vector<TConnectionRecord> Connections() const;
    // Waits until that many connections were closed by the client; answers whether they were.
    bool WaitForClientCloses(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return WaitFor(count, &TConnectionRecord::ClosedByClient, limit);
    }
    // The connections once that many have ended (waiting a few seconds at most), so that
    // what the server made of a failed handshake is on record.
    std::vector<TConnectionRecord> EndedConnections(std::size_t count) const;

private:
    struct TContextFree {
        void operator()(SSL_CTX* context) const;
    };

    bool WaitFor(std::size_t count, bool TConnectionRecord::*flag, std::chrono::milliseconds limit) const;
    void AcceptLoop();
    void Serve(int fd, std::size_t index);
    // Runs an OpenSSL call on the non-blocking socket until it completes: > 0 done,
    // 0 the peer closed, < 0 failed, stopped or idle too long.
    int Io(SSL* ssl, int fd, const std::function<int()>& operation) const;
    void Record(std::size_t index, const std::function<void(TConnectionRecord&)>& change);

    THandler FHandler;
    std::unique_ptr<SSL_CTX, TContextFree> FContext;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::mutex FHandlerLock;  // the handler sees one request at a time
    std::vector<THttpRequest> FRequests;
    std::vector<TConnectionRecord> FConnections;
    std::vector<std::thread> FConnectionThreads;
    std::thread FAcceptThread;
};

// Hands out the responses in turn; the last one answers every later request.
THttpsTestServer::THandler Respond(std::vector<THttpResponse> script);

// Asks for credentials with the challenges named in Offered (in that order; Basic, Digest
// and NTLM are checked, any other name is only offered) and grants the response when the
// client's answer proves the password: Basic by the credentials, Digest by the response
// hash, NTLM by the NTLMv2 proof computed from the password.
class TAuthenticator {
public:
    struct TOptions {
        std::vector<std::string> Offered;
        std::string Domain, Account, Password;  // Basic and Digest see "Domain\Account"
        THttpResponse Granted;
    };

    explicit TAuthenticator(TOptions options);
    THttpResponse Answer(const THttpRequest& request);
    THttpsTestServer::THandler Handler() {
        return [this](const THttpRequest& request) { return Answer(request); };
    }

    // The schemes of the checked answers, in order.
    std::vector<std::string> Accepted() const;
    std::vector<std::string> Rejected() const;

private:
    THttpResponse Challenge(std::vector<std::string> headers = {}) const;
    bool CheckBasic(std::string_view credentials) const;
    bool CheckDigest(std::string_view parameters, const THttpRequest& request) const;
    std::optional<THttpResponse> Ntlm(std::string_view token, const THttpRequest& request, bool& accepted);
    std::string FullUser() const;

    TOptions FOptions;
    std::string FNonce;
    mutable std::mutex FLock;
    std::map<std::size_t, std::string> FNtlmChallenges;  // per connection: NTLM is bound to it
    std::vector<std::string> FAccepted, FRejected;
};

}  // namespace keyrix::test
