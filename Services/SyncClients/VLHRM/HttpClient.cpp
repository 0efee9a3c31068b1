#include "Services/SyncClients/VLHRM/HttpClient.h"

#include "common/Format.h"
#include "common/TextUtils.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
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

}  // namespace

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

TTlsLayer::TTlsLayer(TVerifyPeer verifyPeer) : FVerifyPeer(std::move(verifyPeer)) {}

void TTlsLayer::Apply(CURL* curl) const {
    SetOption(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    SetOption(curl, CURLOPT_SSL_CIPHER_LIST, CipherList);
    // libcurl's own verdict (CA store, host name) stays off: the callback that
    // ConfigureContext installs is the judge of the peer's certificate.
    SetOption(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    SetOption(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    SetOption(curl, CURLOPT_SSL_CTX_FUNCTION, &TTlsLayer::ConfigureContext);
    SetOption(curl, CURLOPT_SSL_CTX_DATA, static_cast<void*>(const_cast<TTlsLayer*>(this)));
}

CURLcode TTlsLayer::ConfigureContext(CURL*, void* sslContext, void* layer) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (LayerIndex() < 0 || SSL_CTX_set_ex_data(context, LayerIndex(), layer) != 1) return CURLE_SSL_ENGINE_INITFAILED;
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
        return layer->FVerifyPeer(X509_STORE_CTX_get_current_cert(store), ok != 0, X509_STORE_CTX_get_error_depth(store),
                                  X509_STORE_CTX_get_error(store))
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
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
    SetOption(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetOption(curl, CURLOPT_LOW_SPEED_TIME, FTimeouts.StallSeconds);
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

void THttpClient::Get(const std::string& url, TKeyrixMemoryStream& body) {
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
    const std::string text = FErrorBuffer[0] != '\0' ? std::string(FErrorBuffer) : std::string(curl_easy_strerror(code));
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            throw ESocketTimeout(text);
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
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

void CountCallback() {
    const std::uint64_t callback = ++THttpCallbackFault::Callbacks;
    if (callback == THttpCallbackFault::FailAt.load())
        throw EWriteError(Format("Test fault in transfer callback %d", static_cast<std::int64_t>(callback)));
}

}  // namespace

std::size_t THttpClient::OnHeader(char* data, std::size_t size, std::size_t count, void* response) {
    auto& r = *static_cast<TResponse*>(response);
    const std::size_t length = size * count;
    try {
        CountCallback();
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
        CountCallback();
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
