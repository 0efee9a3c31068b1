#include "Services/SyncClients/VLHRM/HttpClient.h"

#include "common/Format.h"
#include "common/TextUtils.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace keyrix {

namespace {

bool IsBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// Header lines reach the callback with their line end.
constexpr std::string_view HeaderBlanks = " \t\r\n";

// The option is chosen at run time, so libcurl's compile-time type check does not apply:
// every caller passes long, a pointer or a callback of the documented type.
template <class T>
void SetOption(CURL* curl, CURLoption option, T value) {
    const CURLcode code = curl_easy_setopt(curl, option, value);
    if (code != CURLE_OK)
        throw EHttpClientError(Format("HTTP client set-up failed (option %d): %s", static_cast<int>(option),
                                      curl_easy_strerror(code)));
}

// libcurl must be initialised once per process before the first handle.
void InitializeCurl() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) throw EHttpClientError(Format("libcurl initialisation failed: %s", curl_easy_strerror(result)));
}

// Where the verification callback finds its layer: the SSL_CTX that libcurl made.
int LayerIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

constexpr TAuthScheme AuthSchemes[] = {
    {"Basic", CURLAUTH_BASIC},
    {"Digest", CURLAUTH_DIGEST},
    {"NTLM", CURLAUTH_NTLM},
    {"Negotiate", CURLAUTH_NEGOTIATE},
};

// NTLM and Negotiate depend on how libcurl was built.
bool Supported(const TAuthScheme& scheme) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (scheme.CurlAuth == CURLAUTH_NTLM) return (info->features & CURL_VERSION_NTLM) != 0;
    if (scheme.CurlAuth == CURLAUTH_NEGOTIATE) return (info->features & CURL_VERSION_SPNEGO) != 0;
    return true;
}

const TAuthScheme* SupportedScheme(std::string_view name) {
    for (const TAuthScheme& scheme : AuthSchemes)
        if (SameText(scheme.Name, name)) return Supported(scheme) ? &scheme : nullptr;
    return nullptr;
}

// A name of the certificate as one line (RFC 2253), its control characters visible: the
// server chose it.
std::string NameText(const X509_NAME* name) {
    if (name == nullptr) return "";
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0) return "";
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return VisibleText(std::string_view(data, static_cast<std::size_t>(std::max(length, 0L))));
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string Base64(const unsigned char* bytes, std::size_t size) {
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return text;
}

// libcurl's pin of the certificate's public key: the SHA-256 of its DER SubjectPublicKeyInfo.
std::string PinOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), digest, &size, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    return hashed ? "sha256//" + Base64(digest, size) : "";
}

// The check a certificate failed, in the administrator's words.
std::string RefusalReason(CURLcode code, int firstError) {
    if (code == CURLE_SSL_PINNEDPUBKEYNOTMATCH) return "pin mismatch";
    switch (firstError) {
        case 0:
            // OpenSSL took the chain: libcurl's own check of the name refused it.
            return "host name mismatch";
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return "expired or not yet valid";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return "untrusted issuer";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "host name mismatch";
        default:
            return X509_verify_cert_error_string(firstError);
    }
}

}  // namespace

const char* TTlsChecks::Name() const {
    if (VerifyAuthority) return PinnedKeys.empty() ? "authority" : "both";
    return PinnedKeys.empty() ? "none" : "pin";
}

bool ValidPins(std::string_view pins) {
    static constexpr std::string_view Prefix = "sha256//";
    if (pins.empty()) return false;
    for (std::size_t start = 0; start <= pins.size();) {
        const std::size_t end = std::min(pins.find(';', start), pins.size());
        const std::string_view pin = pins.substr(start, end - start);
        // 32 bytes are 44 characters of base64, the last one padding.
        if (pin.substr(0, Prefix.size()) != Prefix || pin.size() != Prefix.size() + 44 || pin.back() != '=' ||
            pin[pin.size() - 2] == '=')
            return false;
        unsigned char bytes[33];
        if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(pin.data() + Prefix.size()), 44) != 33)
            return false;
        start = end + 1;
    }
    return true;
}

std::vector<std::string> ChallengeSchemes(std::string_view value) {
    // Split at the commas outside quoted strings; an item that starts with a name and no
    // "=" after it opens a challenge, the others are parameters of the one before.
    std::vector<std::string_view> items;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (quoted && value[i] == '\\') {
            ++i;
        } else if (value[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && value[i] == ',') {
            items.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    items.push_back(value.substr(start));

    std::vector<std::string> schemes;
    for (std::string_view item : items) {
        item = Trim(item, HeaderBlanks);
        if (item.empty()) continue;
        const std::size_t end = std::min(item.find_first_of(" \t="), item.size());
        const std::string_view rest = Trim(item.substr(end), HeaderBlanks);
        if (!rest.empty() && rest.front() == '=') continue;
        schemes.emplace_back(item.substr(0, end));
    }
    return schemes;
}

const TAuthScheme* ChooseAuthScheme(const std::vector<std::string>& offered, const std::vector<std::string>& tried) {
    const TAuthScheme* first = nullptr;
    for (const std::string& name : offered) {
        const TAuthScheme* scheme = SupportedScheme(name);
        if (scheme == nullptr) continue;
        if (first == nullptr) first = scheme;
        const bool triedAlready = std::any_of(tried.begin(), tried.end(), [&](const std::string& t) { return SameText(t, scheme->Name); });
        if (!triedAlready) return scheme;
    }
    return first;
}

// ---------------------------------------------------------------------------------------

TTlsLayer::TTlsLayer(TVerifyPeer verifyPeer, TTlsChecks checks)
    : FVerifyPeer(std::move(verifyPeer)), FChecks(std::move(checks)) {}

void TTlsLayer::Apply(CURL* curl) const {
    // TLS 1.2 exactly: the lowest version, and the highest shifted by 16 (as curl.h makes
    // CURL_SSLVERSION_MAX_TLSv1_2, whose enum g++ takes for too small to hold it).
    constexpr long TlsVersions = long{CURL_SSLVERSION_TLSv1_2} | long{CURL_SSLVERSION_TLSv1_2} << 16;
    SetOption(curl, CURLOPT_SSLVERSION, TlsVersions);
    SetOption(curl, CURLOPT_SSL_CIPHER_LIST, CipherList);
    // Without checks libcurl's own verdict (CA store, host name) stays off and the callback
    // that ConfigureContext installs is the only judge; with them, libcurl's and OpenSSL's
    // verdicts stand beside it.
    SetOption(curl, CURLOPT_SSL_VERIFYPEER, FChecks.VerifyAuthority ? 1L : 0L);
    SetOption(curl, CURLOPT_SSL_VERIFYHOST, FChecks.VerifyAuthority ? 2L : 0L);
    if (FChecks.VerifyAuthority && !FChecks.CaFile.empty()) {
        // In place of the system's store, not beside it.
        SetOption(curl, CURLOPT_CAINFO, FChecks.CaFile.c_str());
        SetOption(curl, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    if (!FChecks.PinnedKeys.empty()) SetOption(curl, CURLOPT_PINNEDPUBLICKEY, FChecks.PinnedKeys.c_str());
    SetOption(curl, CURLOPT_SSL_CTX_FUNCTION, &TTlsLayer::ConfigureContext);
    SetOption(curl, CURLOPT_SSL_CTX_DATA, static_cast<void*>(const_cast<TTlsLayer*>(this)));
}

CURLcode TTlsLayer::ConfigureContext(CURL*, void* sslContext, void* layer) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (LayerIndex() < 0 || SSL_CTX_set_ex_data(context, LayerIndex(), layer) != 1) return CURLE_SSL_ENGINE_INITFAILED;
    static_cast<const TTlsLayer*>(layer)->FPeer = TPeerCertificate();
    // The peer must present a certificate; the callback decides whether it will do.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &TTlsLayer::VerifyCallback);
    return CURLE_OK;
}

int TTlsLayer::VerifyCallback(int ok, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl == nullptr) return 0;
    auto* layer = static_cast<const TTlsLayer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), LayerIndex()));
    if (layer == nullptr || !layer->FVerifyPeer) return 0;
    // Nothing may unwind through OpenSSL; a failing judge refuses the certificate.
    try {
        X509* certificate = X509_STORE_CTX_get_current_cert(store);
        const std::int32_t depth = X509_STORE_CTX_get_error_depth(store), error = X509_STORE_CTX_get_error(store);
        layer->Note(certificate, ok != 0, depth, error);
        // The judge sees every certificate; OpenSSL's verdict counts only when asked for.
        const bool judged = layer->FVerifyPeer(certificate, ok != 0, depth, error);
        if (!judged) layer->FPeer.Judged = TPeerCertificate::TJudged::Refused;
        return judged && (ok != 0 || !layer->FChecks.VerifyAuthority) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void TTlsLayer::Note(X509* certificate, bool ok, std::int32_t depth, std::int32_t error) const {
    if (!ok && FPeer.FirstError == 0) FPeer.FirstError = error;
    if (depth != 0 || certificate == nullptr) return;
    FPeer.Seen = true;
    FPeer.Subject = NameText(X509_get_subject_name(certificate));
    FPeer.Issuer = NameText(X509_get_issuer_name(certificate));
    FPeer.NotBefore = TimeText(X509_get0_notBefore(certificate));
    FPeer.NotAfter = TimeText(X509_get0_notAfter(certificate));
    FPeer.Pin = PinOf(certificate);
}

// ---------------------------------------------------------------------------------------

THttpClient::THttpClient(const TTlsLayer& tls, THttpTimeouts timeouts, std::uint64_t maxBodyBytes)
    : FTls(tls), FTimeouts(timeouts), FMaxBodyBytes(maxBodyBytes) {
    InitializeCurl();
    FCookies.reset(curl_share_init());
    if (!FCookies || curl_share_setopt(FCookies.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK)
        throw EHttpClientError("HTTP client set-up failed: no cookie store");
}

THttpClient::~THttpClient() = default;

std::string THttpClient::CustomHeadersText() const {
    std::string text;
    for (const std::string& line : CustomHeaders) {
        if (!text.empty()) text += "\r\n";
        text += line;
    }
    return text;
}

void THttpClient::Disconnect() { FEasy.reset(); }

CURL* THttpClient::Transfer() {
    if (!FEasy) {
        FEasy.reset(curl_easy_init());
        if (!FEasy) throw EHttpClientError("HTTP client set-up failed: no transfer handle");
    }
    return FEasy.get();
}

void THttpClient::Configure(CURL* curl, const std::string& url) {
    // Every request starts from the defaults: libcurl would otherwise answer a Digest
    // challenge of an earlier request before the server has asked, and again after. The
    // connection, the TLS session and the cookies survive the reset. The list of cookie
    // files would not (the reset drops it unfreed), so it is emptied first.
    SetOption(curl, CURLOPT_COOKIEFILE, static_cast<const char*>(nullptr));
    curl_easy_reset(curl);
    SetOption(curl, CURLOPT_ERRORBUFFER, FErrorBuffer);
    SetOption(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    SetOption(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    SetOption(curl, CURLOPT_USERAGENT, UserAgent);
    SetOption(curl, CURLOPT_FOLLOWLOCATION, 0L);
    // Cookies live in the share, so they outlive a transfer handle (Disconnect); the empty
    // file name switches the cookie engine on without reading any file.
    SetOption(curl, CURLOPT_SHARE, FCookies.get());
    SetOption(curl, CURLOPT_COOKIEFILE, "");
    // No proxy, whatever the environment says.
    SetOption(curl, CURLOPT_PROXY, "");
    SetOption(curl, CURLOPT_NOPROXY, "*");
    // CURLOPT_NOSIGNAL stays off: libcurl then keeps SIGPIPE away from the transfer, and
    // its threaded resolver needs no alarm signal for the time-outs.
    SetOption(curl, CURLOPT_CONNECTTIMEOUT, FTimeouts.ConnectSeconds);
    SetOption(curl, CURLOPT_LOW_SPEED_LIMIT, FTimeouts.MinimumBytesPerSecond);
    SetOption(curl, CURLOPT_LOW_SPEED_TIME, FTimeouts.StallSeconds);
    // What is left of the whole download for this request (a millisecond at least: 0 would
    // be no limit).
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - std::chrono::steady_clock::now());
    SetOption(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::chrono::milliseconds::rep>(left.count(), 1)));
    // A body announced larger than the limit is refused before any of it is read; one that
    // comes without a length (chunked, or until the close) is cut in OnBody.
    SetOption(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(FMaxBodyBytes));
    SetOption(curl, CURLOPT_HEADERFUNCTION, &THttpClient::OnHeader);
    SetOption(curl, CURLOPT_HEADERDATA, static_cast<void*>(&FResponse));
    SetOption(curl, CURLOPT_WRITEFUNCTION, &THttpClient::OnBody);
    SetOption(curl, CURLOPT_WRITEDATA, static_cast<void*>(&FResponse));
    FTls.Apply(curl);
    SetOption(curl, CURLOPT_HTTPHEADER, FHeaders.get());
    SetOption(curl, CURLOPT_URL, url.c_str());
    SetOption(curl, CURLOPT_HTTPGET, 1L);
}

void THttpClient::Get(const std::string& url, TKeyrixMemoryStream& body,
                      std::optional<std::chrono::steady_clock::time_point> deadline) {
    FDeadline = deadline.value_or(std::chrono::steady_clock::now() + std::chrono::seconds(FTimeouts.DownloadSeconds));
    CURL* curl = Transfer();
    FHeaders.reset();
    auto addHeader = [this](const std::string& line) {
        curl_slist* list = curl_slist_append(FHeaders.get(), line.c_str());
        if (list == nullptr) throw EHttpClientError("HTTP client set-up failed: no header list");
        (void)FHeaders.release();  // the same list, one line longer
        FHeaders.reset(list);
    };
    for (const std::string& line : CustomHeaders) addHeader(line);
    addHeader(std::string("Accept: ") + Accept);
    FResponse.Body = &body;
    FResponse.MaxBodyBytes = FMaxBodyBytes;
    FResponse.Url = &url;
    FResponse.Check = &CallbackCheck;
    FResponseCode = 0;
    FStatusLine.clear();

    // The first request goes without credentials; a 401 tells which scheme to answer.
    Configure(curl, url);
    Perform(curl);

    std::vector<std::string> tried;
    while (FResponseCode == 401 && InProcessAuth && !IsBlank(Password) &&
           static_cast<int>(tried.size()) < MaxAuthExchanges) {
        const TAuthScheme* scheme = ChooseAuthScheme(FResponse.Challenges, tried);
        if (scheme == nullptr) break;
        tried.emplace_back(scheme->Name);
        Configure(curl, url);
        SetOption(curl, CURLOPT_HTTPAUTH, scheme->CurlAuth);
        SetOption(curl, CURLOPT_USERNAME, Username.c_str());
        SetOption(curl, CURLOPT_PASSWORD, Password.c_str());
        Perform(curl);
    }
    if (FResponseCode < 200 || FResponseCode > 299) throw EHttpProtocolError(FResponseCode, FStatusLine);
}

void THttpClient::Perform(CURL* curl) {
    FResponse.StatusLine.clear();
    FResponse.Challenges.clear();
    FResponse.Failure = nullptr;
    FErrorBuffer[0] = '\0';
    const CURLcode code = curl_easy_perform(curl);
    if (FResponse.Failure) std::rethrow_exception(std::exchange(FResponse.Failure, nullptr));
    if (code == CURLE_FILESIZE_EXCEEDED)
        throw EHttpBodyTooLarge(Format("The response from %s announces %s bytes, more than the limit of %d bytes (%d MiB)",
                                       *FResponse.Url, FResponse.ContentLength, static_cast<std::int64_t>(FMaxBodyBytes),
                                       static_cast<std::int64_t>(FMaxBodyBytes / BytesPerMiB)));
    if (code != CURLE_OK) RaiseTransferError(code);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    FResponseCode = static_cast<int>(status);
    FStatusLine = FResponse.StatusLine;
}

void THttpClient::RaiseTransferError(CURLcode code) const {
    // libcurl's text may quote the server (a certificate's name): kept visible.
    const std::string text =
        VisibleText(FErrorBuffer[0] != '\0' ? std::string(FErrorBuffer) : std::string(curl_easy_strerror(code)));
    const std::string& url = *FResponse.Url;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            // Which bound it was: the whole download's, the minimum speed's, or the connect's.
            if (std::chrono::steady_clock::now() >= FDeadline - std::chrono::milliseconds(50))
                throw ESocketTimeout(Format("The download from %s did not end within %d seconds (\"HRM\"/\"Download "
                                            "time-out seconds\"): %s",
                                            url, static_cast<std::int64_t>(FTimeouts.DownloadSeconds), text));
            if (text.rfind("Operation too slow", 0) == 0)
                throw ESocketTimeout(Format("The download from %s was slower than %d bytes per second for %d seconds "
                                            "(\"HRM\"/\"Minimum speed bytes per second\"): %s",
                                            url, static_cast<std::int64_t>(FTimeouts.MinimumBytesPerSecond),
                                            static_cast<std::int64_t>(FTimeouts.StallSeconds), text));
            throw ESocketTimeout(text);
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH: {
            const TPeerCertificate& peer = FTls.Peer();
            // The owner's own judge refused it, or no check asked for was at work.
            if (!peer.Seen || peer.Judged == TPeerCertificate::TJudged::Refused || !FTls.Checks().Any())
                throw ESocketError(text);
            throw ECertificateRefused(Format(
                "The certificate of %s was refused (%s): subject \"%s\", issuer \"%s\", valid from %s to %s, public key "
                "pin %s (\"HRM\"/\"Pinned public key\" takes it, once the certificate is checked): %s",
                url, RefusalReason(code, peer.FirstError), peer.Subject, peer.Issuer, peer.NotBefore, peer.NotAfter,
                peer.Pin, text));
        }
        case CURLE_SSL_CACERT_BADFILE:
            throw EHttpClientError(Format("The CA file \"%s\" (\"HRM\"/\"CA file\") cannot be used: %s", FTls.Checks().CaFile,
                                          text));
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_AGAIN:
        case CURLE_UNRECOVERABLE_POLL:
            throw ESocketError(text);
        default:
            throw EHttpClientError(text);
    }
}

namespace {

void RunCheck(const THttpCallbackCheck* check) {
    if (check != nullptr && *check) (*check)();
}

}  // namespace

std::size_t THttpClient::OnHeader(char* data, std::size_t size, std::size_t count, void* response) {
    auto& r = *static_cast<TResponse*>(response);
    const std::size_t length = size * count;
    try {
        RunCheck(r.Check);
        std::string_view line(data, length);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (line.substr(0, 5) == "HTTP/") {
            // A new response (libcurl's own auth round or ours): its body replaces the last.
            // The server's words go into log lines, so they are kept visible.
            r.StatusLine = VisibleText(line);
            r.Challenges.clear();
            r.ContentLength.clear();
            r.Body->Clear();
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos &&
                                                       SameText(Trim(line.substr(0, colon), HeaderBlanks), "WWW-Authenticate")) {
            for (std::string& scheme : ChallengeSchemes(line.substr(colon + 1))) r.Challenges.push_back(std::move(scheme));
        } else if (colon != std::string_view::npos && SameText(Trim(line.substr(0, colon), HeaderBlanks), "Content-Length")) {
            r.ContentLength = VisibleText(Trim(line.substr(colon + 1), HeaderBlanks));
        }
        return length;
    } catch (...) {
        r.Failure = std::current_exception();
        return 0;
    }
}

std::size_t THttpClient::OnBody(char* data, std::size_t size, std::size_t count, void* response) {
    auto& r = *static_cast<TResponse*>(response);
    try {
        RunCheck(r.Check);
        const std::size_t length = size * count;
        TKeyrixMemoryStream& body = *r.Body;
        if (length > r.MaxBodyBytes || body.Size() > r.MaxBodyBytes - length)
            throw EHttpBodyTooLarge(Format("The response from %s is larger than the limit of %d bytes (%d MiB)", *r.Url,
                                           static_cast<std::int64_t>(r.MaxBodyBytes),
                                           static_cast<std::int64_t>(r.MaxBodyBytes / BytesPerMiB)));
        // The stream grows by half again at a time; near the limit it grows to the limit
        // alone, so a body that ends up at the limit never holds more memory than that.
        const std::size_t end = body.Size() + length;
        if (end > body.Capacity()) {
            const std::size_t generous = body.Capacity() + body.Capacity() / 2;
            const std::size_t limit = static_cast<std::size_t>(r.MaxBodyBytes);
            if (generous > limit) body.SetCapacity(std::max(end, limit));
        }
        return body.Write(data, length);
    } catch (...) {
        r.Failure = std::current_exception();
        return 0;
    }
}

}  // namespace keyrix
