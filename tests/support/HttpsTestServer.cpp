#include "tests/support/HttpsTestServer.h"

#include "common/ScopeGuard.h"
#include "common/TextUtils.h"

#include "tools/HttpsSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace keyrix::test {

namespace {

using namespace std::chrono_literals;

template <auto Free>
struct TFreeWith {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using TSsl = std::unique_ptr<SSL, TFreeWith<SSL_free>>;
using TLibContext = std::unique_ptr<OSSL_LIB_CTX, TFreeWith<OSSL_LIB_CTX_free>>;
using TProvider = std::unique_ptr<OSSL_PROVIDER, TFreeWith<OSSL_PROVIDER_unload>>;
using TDigest = std::unique_ptr<EVP_MD, TFreeWith<EVP_MD_free>>;

[[noreturn]] void Fail(const std::string& what) {
    char text[256] = "no OpenSSL error";
    if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
    throw std::runtime_error("HTTPS test server: " + what + ": " + text);
}

// The server's threads take EPIPE instead of the signal when the client has gone.
void BlockSigPipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (FFd >= 0) ::close(FFd);
    }

private:
    int FFd;
};

THttpRequest ParseRequest(std::string_view head) {
    https::TRequestHead parsed = https::ParseRequestHead(head);
    THttpRequest request;
    request.Method = std::move(parsed.Method);
    request.Target = std::move(parsed.Target);
    request.Version = std::move(parsed.Version);
    request.Headers = std::move(parsed.Headers);
    return request;
}

// --- the digests that the authentication checks need ------------------------------------

std::string Md5(std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, EVP_md5(), nullptr) != 1) Fail("MD5");
    return std::string(reinterpret_cast<char*>(out), length);
}

// MD4 lives in OpenSSL's legacy provider, loaded into a library context of its own so
// that the client under test keeps the default one.
std::string Md4(std::string_view data) {
    TLibContext context(OSSL_LIB_CTX_new());
    TProvider legacy(context ? OSSL_PROVIDER_load(context.get(), "legacy") : nullptr);
    TDigest md4(legacy ? EVP_MD_fetch(context.get(), "MD4", nullptr) : nullptr);
    if (!md4) Fail("MD4 from the legacy provider");
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, md4.get(), nullptr) != 1) Fail("MD4");
    return std::string(reinterpret_cast<char*>(out), length);
}

std::string HmacMd5(std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
             data.size(), out, &length) == nullptr)
        Fail("HMAC-MD5");
    return std::string(reinterpret_cast<char*>(out), length);
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) Fail("RAND_bytes");
    return bytes;
}

std::string Base64(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string FromBase64(std::string_view text) {
    text = Trim(text);
    std::string bytes(3 * (text.size() / 4) + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t size = static_cast<std::size_t>(n);
    for (auto it = text.rbegin(); it != text.rend() && *it == '=' && size > 0; ++it) --size;
    bytes.resize(size);
    return bytes;
}

std::string Utf16(std::string_view ascii) {
    std::string wide;
    for (char c : ascii) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

std::string FromUtf16(std::string_view wide) {
    std::string ascii;
    for (std::size_t i = 0; i + 1 < wide.size(); i += 2) ascii += wide[i];
    return ascii;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// --- NTLM messages -------------------------------------------------------------------

// A security buffer's content: length at "at", offset at "at + 4".
std::optional<std::string_view> Field(std::string_view message, std::size_t at) {
    if (message.size() < at + 8) return std::nullopt;
    const std::size_t length = ReadUInt16LE(message, at), offset = ReadUInt32LE(message, at + 4);
    if (offset > message.size() || length > message.size() - offset) return std::nullopt;
    return message.substr(offset, length);
}

constexpr std::string_view NtlmSignature{"NTLMSSP\0", 8};

int NtlmType(std::string_view message) {
    if (message.size() < 12 || message.substr(0, 8) != NtlmSignature) return 0;
    return static_cast<int>(ReadUInt32LE(message, 8));
}

// The challenge message: Unicode, NTLM, extended session security (which makes the client
// answer with NTLMv2), a domain target and target information.
std::string NtlmChallengeMessage(const std::string& domain, const std::string& challenge) {
    const std::string target = Utf16(Upper(domain));
    std::string info;
    auto avPair = [&info](std::uint16_t id, const std::string& value) {
        AppendUInt16LE(info, id);
        AppendUInt16LE(info, static_cast<std::uint16_t>(value.size()));
        info += value;
    };
    avPair(2, Utf16(Upper(domain)));  // MsvAvNbDomainName
    avPair(1, Utf16("HRMSERVER"));    // MsvAvNbComputerName
    avPair(0, "");                    // MsvAvEOL
    const std::uint32_t flags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00008000 | 0x00010000 | 0x00080000 | 0x00800000;
    std::string message(NtlmSignature);
    AppendUInt32LE(message, 2);
    AppendUInt16LE(message, static_cast<std::uint16_t>(target.size()));
    AppendUInt16LE(message, static_cast<std::uint16_t>(target.size()));
    AppendUInt32LE(message, 48);
    AppendUInt32LE(message, flags);
    message += challenge;
    message += std::string(8, '\0');
    AppendUInt16LE(message, static_cast<std::uint16_t>(info.size()));
    AppendUInt16LE(message, static_cast<std::uint16_t>(info.size()));
    AppendUInt32LE(message, static_cast<std::uint32_t>(48 + target.size()));
    return message + target + info;
}

// --- Digest parameters -------------------------------------------------------------------

std::map<std::string, std::string> DigestParameters(std::string_view text) {
    std::map<std::string, std::string> parameters;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
        const std::size_t eq = text.find('=', i);
        if (eq == std::string_view::npos) break;
        std::string name(Trim(text.substr(i, eq - i)));
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            ++i;
        } else {
            const std::size_t comma = std::min(text.find(',', i), text.size());
            value = Trim(text.substr(i, comma - i));
            i = comma;
        }
        parameters[Upper(name)] = value;
    }
    return parameters;
}

constexpr const char* Realm = "keyrix-hrm";

}  // namespace

// --- requests and the server ----------------------------------------------------------

std::optional<std::string> THttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : Headers)
        if (SameText(key, name)) return value;
    return std::nullopt;
}

void THttpsTestServer::TContextFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

THttpsTestServer::THttpsTestServer(THandler handler, TServerTls tls, TServerCertificate certificate)
    : FHandler(std::move(handler)) {
    FContext.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* context = FContext.get();
    if (context == nullptr) Fail("SSL_CTX_new");
    if (SSL_CTX_set_min_proto_version(context, tls.MinVersion) != 1 ||
        SSL_CTX_set_max_proto_version(context, tls.MaxVersion) != 1)
        Fail("protocol versions");
    if (SSL_CTX_set_cipher_list(context, tls.Ciphers.c_str()) != 1) Fail("cipher list " + tls.Ciphers);
    // A client that just closes the socket has ended the connection, not broken it.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (certificate.CertificateFile.empty()) {
        https::UseSelfSignedCertificate(context, tls.RsaKey, tls.ExpiredCertificate);
    } else if (SSL_CTX_use_certificate_chain_file(context, certificate.CertificateFile.c_str()) != 1 ||
               SSL_CTX_use_PrivateKey_file(context, certificate.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        Fail("certificate " + certificate.CertificateFile);
    }

    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FListen < 0) throw std::runtime_error("HTTPS test server: socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(FListen, 16) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(FListen);
        throw std::runtime_error("HTTPS test server: cannot listen on 127.0.0.1");
    }
    FPort = ntohs(address.sin_port);
    FAcceptThread = std::thread(&THttpsTestServer::AcceptLoop, this);
}

THttpsTestServer::~THttpsTestServer() {
    FStop = true;
    FAcceptThread.join();
    // No thread is added once the accept loop has ended.
    for (std::thread& thread : FConnectionThreads) thread.join();
    ::close(FListen);
}

std::string THttpsTestServer::Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(FPort) + path;
}

std::vector<THttpRequest> THttpsTestServer::Requests() const {
    std::lock_guard guard(FLock);
    return FRequests;
}

std::vector<TConnectionRecord> THttpsTestServer::Connections() const {
    std::lock_guard guard(FLock);
    return FConnections;
}

bool THttpsTestServer::WaitFor(std::size_t count, bool TConnectionRecord::*flag, std::chrono::milliseconds limit) const {
    std::unique_lock guard(FLock);
    return FChanged.wait_for(guard, limit, [&] {
        return static_cast<std::size_t>(std::count_if(FConnections.begin(), FConnections.end(),
                                                      [&](const TConnectionRecord& c) { return c.*flag; })) >= count;
    });
}

std::vector<TConnectionRecord> THttpsTestServer::EndedConnections(std::size_t count) const {
    WaitFor(count, &TConnectionRecord::Ended, std::chrono::seconds(5));
    return Connections();
}

void THttpsTestServer::Record(std::size_t index, const std::function<void(TConnectionRecord&)>& change) {
    {
        std::lock_guard guard(FLock);
        change(FConnections[index]);
    }
    FChanged.notify_all();
}

void THttpsTestServer::AcceptLoop() {
    BlockSigPipe();
    const auto end = std::chrono::steady_clock::now() + Lifetime;
    while (!FStop && std::chrono::steady_clock::now() < end) {
        pollfd ready{FListen, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        std::lock_guard guard(FLock);
        FConnections.emplace_back();
        FConnectionThreads.emplace_back(&THttpsTestServer::Serve, this, fd, FConnections.size() - 1);
    }
}

int THttpsTestServer::Io(SSL* ssl, int fd, const std::function<int()>& operation) const {
    const auto idleEnd = std::chrono::steady_clock::now() + IdleLimit;
    for (;;) {
        ERR_clear_error();
        const int result = operation();
        if (result > 0) return result;
        short events = 0;
        switch (SSL_get_error(ssl, result)) {
            case SSL_ERROR_WANT_READ: events = POLLIN; break;
            case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
            case SSL_ERROR_ZERO_RETURN: return 0;
            default: return -1;
        }
        for (;;) {
            if (FStop || std::chrono::steady_clock::now() > idleEnd) return -1;
            pollfd ready{fd, events, 0};
            if (::poll(&ready, 1, 50) > 0) break;
        }
    }
}

void THttpsTestServer::Serve(int fd, std::size_t index) {
    BlockSigPipe();
    TScopeGuard end([this, index] { Record(index, [](TConnectionRecord& c) { c.Ended = true; }); });
    TFd closer(fd);
    TSsl ssl(SSL_new(FContext.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
    SSL* s = ssl.get();
    if (Io(s, fd, [s] { return SSL_accept(s); }) <= 0) {
        char text[256] = "connection ended during the handshake";
        if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
        Record(index, [&](TConnectionRecord& c) { c.HandshakeError = text; });
        return;
    }
    Record(index, [s](TConnectionRecord& c) {
        c.Handshake = true;
        c.Protocol = SSL_get_version(s);
        c.Cipher = SSL_get_cipher_name(s);
    });
    auto clientClosed = [&] { Record(index, [](TConnectionRecord& c) { c.ClosedByClient = true; }); };

    std::string input;
    char buffer[4096];
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = input.find("\r\n\r\n")) == std::string::npos) {
            const int n = Io(s, fd, [&] { return SSL_read(s, buffer, sizeof buffer); });
            if (n == 0) clientClosed();
            if (n <= 0) return;
            input.append(buffer, static_cast<std::size_t>(n));
        }
        THttpRequest request = ParseRequest(std::string_view(input).substr(0, headEnd));
        input.erase(0, headEnd + 4);
        request.Connection = index + 1;
        {
            std::lock_guard guard(FLock);
            FRequests.push_back(request);
        }
        THttpResponse response;
        {
            std::lock_guard guard(FHandlerLock);
            response = FHandler(request);
        }

        std::string out = "HTTP/1.1 " + std::to_string(response.Status) + " " + response.Reason + "\r\n";
        if (response.Chunked)
            out += "Transfer-Encoding: chunked\r\n";
        else
            out += "Content-Length: " + std::to_string(response.AnnouncedLength.value_or(response.Body.size())) + "\r\n";
        for (const std::string& header : response.Headers) out += header + "\r\n";
        if (response.Close) out += "Connection: close\r\n";
        out += "\r\n";
        if (response.Chunked) {
            if (Io(s, fd, [&] { return SSL_write(s, out.data(), static_cast<int>(out.size())); }) <= 0) return;
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", response.Body.size());
            const std::string chunk = size + response.Body + "\r\n";
            for (std::uint64_t i = 0; i < response.Repeat && !response.Body.empty(); ++i) {
                // A client that stopped reading ends the body; so does the server's stop.
                if (Io(s, fd, [&] { return SSL_write(s, chunk.data(), static_cast<int>(chunk.size())); }) <= 0) {
                    if (!FStop) clientClosed();
                    return;
                }
            }
            out = "0\r\n\r\n";
        } else if (response.TrickleBytes > 0) {
            // The head at once, then the body piece by piece; a client that gave up ends it.
            for (std::size_t at = 0; at < response.Body.size() && !FStop; at += response.TrickleBytes) {
                if (Io(s, fd, [&] { return SSL_write(s, out.data(), static_cast<int>(out.size())); }) <= 0) {
                    if (!FStop) clientClosed();
                    return;
                }
                out = response.Body.substr(at, response.TrickleBytes);
                std::this_thread::sleep_for(response.TrickleInterval);
            }
        } else {
            out += response.Body.substr(0, response.StallAfter.value_or(response.CloseAfter.value_or(std::string::npos)));
        }
        if (Io(s, fd, [&] { return SSL_write(s, out.data(), static_cast<int>(out.size())); }) <= 0) return;
        if (response.CloseAfter && !response.StallAfter) return;  // the socket closes without a word

        if (response.StallAfter || response.AnnouncedLength) {
            // Silent from here on: wait for the client to give up (or the server to stop).
            int n;
            while ((n = Io(s, fd, [&] { return SSL_read(s, buffer, sizeof buffer); })) > 0) {
            }
            if (n == 0) clientClosed();
            return;
        }
        if (response.Close) {
            SSL_shutdown(s);
            return;
        }
    }
}

THttpsTestServer::THandler Respond(std::vector<THttpResponse> script) {
    auto responses = std::make_shared<std::vector<THttpResponse>>(std::move(script));
    auto next = std::make_shared<std::size_t>(0);
    return [responses, next](const THttpRequest&) {
        const std::size_t i = std::min(*next, responses->size() - 1);
        ++*next;
        return (*responses)[i];
    };
}

// --- authentication ---------------------------------------------------------------------

TAuthenticator::TAuthenticator(TOptions options) : FOptions(std::move(options)), FNonce(Hex(RandomBytes(16))) {}

std::string TAuthenticator::FullUser() const {
    return FOptions.Domain.empty() ? FOptions.Account : FOptions.Domain + "\\" + FOptions.Account;
}

std::vector<std::string> TAuthenticator::Accepted() const {
    std::lock_guard guard(FLock);
    return FAccepted;
}

std::vector<std::string> TAuthenticator::Rejected() const {
    std::lock_guard guard(FLock);
    return FRejected;
}

THttpResponse TAuthenticator::Challenge(std::vector<std::string> headers) const {
    if (headers.empty()) {
        for (const std::string& scheme : FOptions.Offered) {
            if (SameText(scheme, "Digest"))
                headers.push_back(std::string("WWW-Authenticate: Digest realm=\"") + Realm + "\", qop=\"auth\", nonce=\"" +
                                  FNonce + "\", algorithm=MD5");
            else if (SameText(scheme, "NTLM") || SameText(scheme, "Negotiate"))
                headers.push_back("WWW-Authenticate: " + scheme);
            else
                headers.push_back("WWW-Authenticate: " + scheme + " realm=\"" + Realm + "\"");
        }
    }
    THttpResponse response;
    response.Status = 401;
    response.Reason = "Unauthorized";
    response.Headers = std::move(headers);
    response.Body = "Access is denied.";
    return response;
}

bool TAuthenticator::CheckBasic(std::string_view credentials) const {
    return FromBase64(credentials) == FullUser() + ":" + FOptions.Password;
}

bool TAuthenticator::CheckDigest(std::string_view text, const THttpRequest& request) const {
    auto p = DigestParameters(text);
    if (p["USERNAME"] != FullUser() || p["REALM"] != Realm || p["NONCE"] != FNonce || p["URI"] != request.Target)
        return false;
    const std::string ha1 = Hex(Md5(FullUser() + ":" + Realm + ":" + FOptions.Password));
    const std::string ha2 = Hex(Md5(request.Method + ":" + p["URI"]));
    const std::string expected = p["QOP"].empty()
                                     ? Hex(Md5(ha1 + ":" + FNonce + ":" + ha2))
                                     : Hex(Md5(ha1 + ":" + FNonce + ":" + p["NC"] + ":" + p["CNONCE"] + ":" + p["QOP"] + ":" + ha2));
    return p["RESPONSE"] == expected;
}

// The negotiate message gets a challenge on this connection; the authenticate message is
// checked against it. Answers nothing for a message that ends the handshake.
std::optional<THttpResponse> TAuthenticator::Ntlm(std::string_view token, const THttpRequest& request, bool& accepted) {
    const std::string message = FromBase64(token);
    const int type = NtlmType(message);
    if (type == 1) {
        const std::string challenge = RandomBytes(8);
        FNtlmChallenges[request.Connection] = challenge;
        return Challenge({"WWW-Authenticate: NTLM " + Base64(NtlmChallengeMessage(FOptions.Domain, challenge))});
    }
    accepted = false;
    const auto challenge = FNtlmChallenges.find(request.Connection);
    if (type != 3 || challenge == FNtlmChallenges.end()) return std::nullopt;
    const auto nt = Field(message, 20), domain = Field(message, 28), user = Field(message, 36);
    // NTLMv2 only: its response is a 16-byte proof followed by the client's blob.
    if (!nt || !domain || !user || nt->size() <= 24) return std::nullopt;
    const std::string userName = FromUtf16(*user), domainName = FromUtf16(*domain);
    if (!SameText(userName, FOptions.Account) || !SameText(domainName, FOptions.Domain)) return std::nullopt;
    const std::string ntowf = HmacMd5(Md4(Utf16(FOptions.Password)), Utf16(Upper(userName) + domainName));
    const std::string_view blob = nt->substr(16);
    accepted = HmacMd5(ntowf, challenge->second + std::string(blob)) == nt->substr(0, 16);
    FNtlmChallenges.erase(challenge);
    return std::nullopt;
}

THttpResponse TAuthenticator::Answer(const THttpRequest& request) {
    std::lock_guard guard(FLock);
    const std::optional<std::string> authorization = request.Header("Authorization");
    if (!authorization) return Challenge();
    const std::string_view value = *authorization;
    const std::size_t space = std::min(value.find(' '), value.size());
    const std::string scheme(value.substr(0, space));
    const std::string_view rest = value.substr(space);
    const bool offered = std::any_of(FOptions.Offered.begin(), FOptions.Offered.end(),
                                     [&](const std::string& o) { return SameText(o, scheme); });
    bool accepted = false;
    if (offered && SameText(scheme, "Basic")) {
        accepted = CheckBasic(rest);
    } else if (offered && SameText(scheme, "Digest")) {
        accepted = CheckDigest(rest, request);
    } else if (offered && SameText(scheme, "NTLM")) {
        if (std::optional<THttpResponse> step = Ntlm(rest, request, accepted)) return *step;
    }
    (accepted ? FAccepted : FRejected).push_back(scheme);
    return accepted ? FOptions.Granted : Challenge();
}

}  // namespace keyrix::test
