#include "tools/DemoHttpsServer.h"

#include "tools/HttpsSupport.h"

#include "common/TextUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace keyrix::demo {

namespace {

constexpr std::size_t HeadLimit = 64 * 1024;
constexpr std::size_t WriteChunk = 1 << 20;

[[noreturn]] void Fail(const std::string& what) {
    char text[256] = "no OpenSSL error";
    if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
    throw std::runtime_error("demo HTTPS server: " + what + ": " + text);
}

std::string FromBase64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) return {};
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

struct TRequest {
    std::string Method, Target, Version;
    std::string Authorization, Connection;
    std::size_t ContentLength = 0;
};

TRequest Parse(std::string_view head) {
    const https::TRequestHead parsed = https::ParseRequestHead(head);
    TRequest request;
    request.Method = parsed.Method;
    request.Target = parsed.Target;
    request.Version = parsed.Version;
    request.Authorization = parsed.Header("Authorization").value_or("");
    request.Connection = parsed.Header("Connection").value_or("");
    request.ContentLength =
        static_cast<std::size_t>(std::strtoull(parsed.Header("Content-Length").value_or("0").c_str(), nullptr, 10));
    return request;
}

bool WriteAll(SSL* ssl, std::string_view bytes) {
    while (!bytes.empty()) {
        const int size = static_cast<int>(std::min(bytes.size(), WriteChunk));
        const int written = SSL_write(ssl, bytes.data(), size);
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

void TDemoHttpsServer::TContextFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

TDemoHttpsServer::TDemoHttpsServer(TDemoServerOptions options) : FOptions(std::move(options)) {
    FContext.reset(SSL_CTX_new(TLS_server_method()));
    if (!FContext) Fail("SSL_CTX_new");
    SSL_CTX_set_min_proto_version(FContext.get(), TLS1_2_VERSION);
    // A client that just closes the socket has ended the connection, not broken it.
    SSL_CTX_set_options(FContext.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    https::UseSelfSignedCertificate(FContext.get());

    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) throw std::runtime_error("demo HTTPS server: no socket");
    const int reuse = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(FOptions.Port));
    socklen_t length = sizeof address;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(FListen, 16) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(FListen);
        throw std::runtime_error("demo HTTPS server: cannot listen on 127.0.0.1:" + std::to_string(FOptions.Port));
    }
    FPort = ntohs(address.sin_port);
}

TDemoHttpsServer::~TDemoHttpsServer() {
    {
        std::lock_guard guard(FLock);
        for (int fd : FOpen) ::shutdown(fd, SHUT_RDWR);
    }
    for (TConnection& connection : FConnections) connection.Thread.join();
    ::close(FListen);
}

void TDemoHttpsServer::Run(const std::atomic<bool>& stop) {
    for (;;) {
        {
            std::lock_guard guard(FLock);
            if (FLimitReached) break;
            // Threads that have ended are joined as we go, so a long-running server keeps none.
            auto ended = std::partition(FConnections.begin(), FConnections.end(),
                                        [](const TConnection& c) { return !c.Ended->load(); });
            for (auto it = ended; it != FConnections.end(); ++it) it->Thread.join();
            FConnections.erase(ended, FConnections.end());
        }
        if (stop) break;
        pollfd ready{FListen, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const timeval idle{static_cast<time_t>(IdleLimit.count()), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        std::lock_guard guard(FLock);
        FOpen.insert(fd);
        auto ended = std::make_shared<std::atomic<bool>>(false);
        FConnections.push_back({std::thread([this, fd, ended] {
                                    Serve(fd);
                                    *ended = true;
                                }),
                                ended});
    }
    // A connection waiting for its next request is ended; one being answered ends after it.
    {
        std::lock_guard guard(FLock);
        for (int fd : FOpen) ::shutdown(fd, SHUT_RD);
    }
    for (TConnection& connection : FConnections) connection.Thread.join();
    FConnections.clear();
}

void TDemoHttpsServer::Serve(int fd) {
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(FContext.get()), SSL_free);
    if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1) {
        std::string input;
        char buffer[16 * 1024];
        for (bool open = true; open;) {
            std::size_t headEnd;
            while ((headEnd = input.find("\r\n\r\n")) == std::string::npos && input.size() < HeadLimit) {
                const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
                if (n <= 0) break;
                input.append(buffer, static_cast<std::size_t>(n));
            }
            if (headEnd == std::string::npos) break;  // closed, silent too long, or a head too large
            const std::string head = input.substr(0, headEnd);
            input.erase(0, headEnd + 4);
            // A body is not expected with a GET; it is read past so the next request lines up.
            const std::size_t bodyLength = Parse(head).ContentLength;
            while (input.size() < bodyLength) {
                const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
                if (n <= 0) break;
                input.append(buffer, static_cast<std::size_t>(n));
            }
            if (input.size() < bodyLength) break;
            input.erase(0, bodyLength);
            open = Answer(ssl.get(), head);
        }
        SSL_shutdown(ssl.get());
    }
    std::lock_guard guard(FLock);
    FOpen.erase(fd);
    ::close(fd);
}

bool TDemoHttpsServer::Authorized(const std::string& authorization) const {
    const std::string_view value = authorization;
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos || !SameText(value.substr(0, space), "Basic")) return false;
    return FromBase64(Trim(value.substr(space + 1))) == FOptions.User + ":" + FOptions.Password;
}

bool TDemoHttpsServer::Answer(SSL* ssl, const std::string& head) {
    const TRequest request = Parse(head);
    bool keepOpen = request.Version == "HTTP/1.1" && !SameText(request.Connection, "close");
    {
        std::lock_guard guard(FLock);
        if (FLimitReached) return false;
        if (FOptions.MaxRequests != 0 && ++FAnswered >= FOptions.MaxRequests) {
            FLimitReached = true;
            keepOpen = false;
        }
    }

    const std::string path = request.Target.substr(0, request.Target.find('?'));
    int status = 200;
    std::string reason = "OK", headers, body;
    if (request.Method != "GET" && request.Method != "HEAD") {
        status = 405;
        reason = "Method Not Allowed";
        headers = "Allow: GET, HEAD\r\n";
    } else if (!Authorized(request.Authorization)) {
        status = 401;
        reason = "Unauthorized";
        body = "Access is denied.";
        headers = "WWW-Authenticate: Basic realm=\"Keyrix demo HRM\"\r\n";
    } else if (path != FOptions.Path) {
        status = 404;
        reason = "Not Found";
        body = "No such service.";
    } else {
        headers = "Content-Type: " + FOptions.ContentType + "\r\n";
    }
    if (status == 200 && FOptions.Delay.count() > 0) {
        Log(request.Method + " " + request.Target + ": holding the answer for " + std::to_string(FOptions.Delay.count()) +
            " s");
        std::this_thread::sleep_for(FOptions.Delay);
    }
    const std::size_t length = status == 200 ? FOptions.Body.size() : body.size();
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + headers +
                      "Content-Length: " + std::to_string(length) + "\r\n";
    if (!keepOpen) out += "Connection: close\r\n";
    out += "\r\n";
    if (request.Method != "HEAD") out += body;
    bool sent = WriteAll(ssl, out);
    if (sent && status == 200 && request.Method != "HEAD") sent = WriteAll(ssl, FOptions.Body);
    Log(request.Method + " " + request.Target + " -> " + std::to_string(status) +
        (status == 200 ? " (" + std::to_string(length) + " bytes)" : "") + (sent ? "" : ", not delivered"));
    return sent && keepOpen;
}

void TDemoHttpsServer::Log(const std::string& line) {
    if (!FOptions.LogRequests) return;
    std::lock_guard guard(FLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace keyrix::demo
