// The HTTPS client of the HRM feed download: libcurl over OpenSSL, with the TLS settings in
// a layer of their own and the authentication exchange run here, so that the scheme is the
// first one the server offers rather than the one libcurl would rank highest.
#pragma once

#include "common/Exceptions.h"
#include "Services/SyncClients/VLHRM/HttpLimits.h"
#include "common/KeyrixMemoryStream.h"

#include <curl/curl.h>
#include <openssl/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// The server answered with a status other than 2xx that the client could not resolve;
// the message is the response's status line.
class EHttpProtocolError : public Exception {
public:
    EHttpProtocolError(int errorCode, std::string statusLine) : Exception(std::move(statusLine)), FErrorCode(errorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }
    const char* ClassName() const noexcept override { return "EHttpProtocolError"; }

private:
    int FErrorCode;
};

// The transport failed: name resolution, connect, TLS handshake, sending or receiving.
KEYRIX_DECLARE_EXCEPTION(ESocketError, Exception);
// Connecting took too long, or the server sent nothing for too long.
KEYRIX_DECLARE_EXCEPTION(ESocketTimeout, ESocketError);
// The request could not be made at all (a malformed URL, an unsupported protocol, a
// library that lacks what the client needs).
KEYRIX_DECLARE_EXCEPTION(EHttpClientError, Exception);
// The response body (or the length the server announced for it) passed the client's size
// limit; the transfer was cut there.
KEYRIX_DECLARE_EXCEPTION(EHttpBodyTooLarge, Exception);
// The server's certificate failed a check that the settings ask for (authority, dates, host
// name, pin). The connection ended in its handshake, before any request was sent.
KEYRIX_DECLARE_EXCEPTION(ECertificateRefused, ESocketError);

// An authentication scheme the client can answer.
struct TAuthScheme {
    const char* Name;
    unsigned long CurlAuth;
};

// The scheme names of one WWW-Authenticate value, in order ("Negotiate, NTLM" names two).
std::vector<std::string> ChallengeSchemes(std::string_view value);

// The first offered scheme this client supports. Schemes already tried for the request are
// passed over while an untried one is offered, so that a Negotiate that cannot work here
// (no Kerberos ticket) falls back to the NTLM offered after it. Null when none is supported.
const TAuthScheme* ChooseAuthScheme(const std::vector<std::string>& offered, const std::vector<std::string>& tried);

// What is checked of the server's certificate beyond the owner's callback.
struct TTlsChecks {
    // The chain must lead to a trusted authority, be valid now and name the URL's host
    // (OpenSSL's and libcurl's own checks).
    bool VerifyAuthority = false;
    // A PEM file of the authorities to trust in place of the system's store; empty: the store.
    std::string CaFile;
    // libcurl's pins of the server's public key ("sha256//<base64>", ';' between); empty: none.
    std::string PinnedKeys;

    // Whether anything is checked beyond the callback.
    bool Any() const { return VerifyAuthority || !PinnedKeys.empty(); }
    // "none", "authority", "pin" or "both": what a connection that succeeded has passed.
    const char* Name() const;
};

// The server's certificate as the last handshake showed it, for the messages and the summary.
struct TPeerCertificate {
    bool Seen = false;
    std::string Subject, Issuer, NotBefore, NotAfter;  // visible text; dates in UTC
    std::string Pin;                                   // "sha256//<base64>" of its public key
    int FirstError = 0;                                // OpenSSL's first X509_V_ERR for the chain; 0: none
    enum class TJudged { Accepted, Refused } Judged = TJudged::Accepted;  // by the owner's callback
};

// A pin in libcurl's notation: "sha256//" and the base64 of 32 bytes; several joined by ';'.
bool ValidPins(std::string_view pins);

// The TLS settings of the client: TLS 1.2 alone, a fixed cipher list, peer verification on
// with the owner's callback as the judge (and OpenSSL's verdict beside it when the checks
// ask for an authority), no client certificate.
class TTlsLayer {
public:
    // Certificate, OpenSSL's preliminary verdict, depth in the chain, X509_V_ERR code.
    using TVerifyPeer = std::function<bool(X509* certificate, bool ok, std::int32_t depth, std::int32_t error)>;

    static constexpr const char* CipherList =
        "ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA:"
        "ECDHE-RSA-AES128-SHA:!ADH:!EXP:!RC4:!eNULL:!aNULL:@STRENGTH";

    explicit TTlsLayer(TVerifyPeer verifyPeer, TTlsChecks checks = {});
    TTlsLayer(const TTlsLayer&) = delete;
    TTlsLayer& operator=(const TTlsLayer&) = delete;

    // Puts the settings on a transfer handle; the layer must outlive the handle.
    void Apply(CURL* curl) const;

    const TTlsChecks& Checks() const { return FChecks; }
    const TPeerCertificate& Peer() const { return FPeer; }

private:
    static CURLcode ConfigureContext(CURL* curl, void* sslContext, void* layer);
    static int VerifyCallback(int ok, X509_STORE_CTX* store);
    void Note(X509* certificate, bool ok, std::int32_t depth, std::int32_t error) const;

    TVerifyPeer FVerifyPeer;
    TTlsChecks FChecks;
    // Filled by the handshake, which runs on the one thread that uses the client.
    mutable TPeerCertificate FPeer;
};

// The HTTP/1.1 client over a TLS layer. Cookies last for the client's life; the connection
// lasts from the first request of a download to Disconnect.
class THttpClient {
public:
    static constexpr const char* UserAgent = "007";
    static constexpr const char* Accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
    static constexpr int MaxAuthExchanges = 3;

    // A response body of more than maxBodyBytes fails the request: the client never holds
    // more than that (rounded up to the stream's growth step) in memory.
    THttpClient(const TTlsLayer& tls, THttpTimeouts timeouts, std::uint64_t maxBodyBytes);
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;
    ~THttpClient();

    // The request: extra header lines, and the credentials for in-process authentication.
    std::vector<std::string> CustomHeaders;
    bool InProcessAuth = false;
    std::string Username;  // domain\account for NTLM, as libcurl splits it
    std::string Password;
    // Runs first in every header and body callback of the transfers; what it raises fails
    // the transfer there, as a failure of the callback's own work would. None in the
    // program; the fault loop fails each callback in turn through it.
    THttpCallbackCheck CallbackCheck;

    // The extra header lines as one text, CR LF between them.
    std::string CustomHeadersText() const;

    // GETs the URL and leaves the final response's body in the stream; every request of it
    // ends by the deadline (by default DownloadSeconds from now). Raises EHttpProtocolError
    // for a final status other than 2xx, ESocketError (ESocketTimeout past a time-out or
    // the minimum speed, ECertificateRefused for a certificate that fails a check) when the
    // transport fails, EHttpBodyTooLarge past the size limit and EHttpClientError when the
    // request cannot be made.
    void Get(const std::string& url, TKeyrixMemoryStream& body,
             std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

    // The final response of the last Get.
    int ResponseCode() const { return FResponseCode; }
    const std::string& ResponseText() const { return FStatusLine; }

    // Closes the connection; cookies stay. The next Get connects afresh.
    void Disconnect();

private:
    struct TEasyFree {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    };
    struct TShareFree {
        void operator()(CURLSH* share) const { curl_share_cleanup(share); }
    };
    struct TListFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    // What the callbacks gather during one perform.
    struct TResponse {
        TKeyrixMemoryStream* Body = nullptr;
        std::uint64_t MaxBodyBytes = 0;
        const std::string* Url = nullptr;
        std::string StatusLine;
        std::vector<std::string> Challenges;  // scheme names of the latest response
        std::string ContentLength;            // as the latest response announced it
        std::exception_ptr Failure;           // raised inside a callback
        const THttpCallbackCheck* Check = nullptr;
    };

    CURL* Transfer();
    void Configure(CURL* curl, const std::string& url);
    void Perform(CURL* curl);
    [[noreturn]] void RaiseTransferError(CURLcode code) const;

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* response);
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* response);

    const TTlsLayer& FTls;
    THttpTimeouts FTimeouts;
    std::chrono::steady_clock::time_point FDeadline;
    std::uint64_t FMaxBodyBytes;
    // Declared before the transfer handle, which must go first.
    std::unique_ptr<CURLSH, TShareFree> FCookies;
    std::unique_ptr<CURL, TEasyFree> FEasy;
    std::unique_ptr<curl_slist, TListFree> FHeaders;
    TResponse FResponse;
    char FErrorBuffer[CURL_ERROR_SIZE] = {};
    int FResponseCode = 0;
    std::string FStatusLine;
};

}  // namespace keyrix
