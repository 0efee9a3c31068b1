#include "tools/HttpsSupport.h"

#include "common/TextUtils.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace keyrix::https {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    char text[256] = "no OpenSSL error";
    if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
    throw std::runtime_error("HTTPS server certificate: " + what + ": " + text);
}

}  // namespace

void UseSelfSignedCertificate(SSL_CTX* context, bool rsa, bool expired) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"),
                                                           EVP_PKEY_free);
    if (!key) Fail("key generation");
    std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    if (!certificate) Fail("X509_new");
    X509* x = certificate.get();
    X509_set_version(x, 2);
    std::uint32_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(serial & 0x7fffffff));
    const long day = 24 * 3600;
    X509_gmtime_adj(X509_getm_notBefore(x), expired ? -30 * day : -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), expired ? -day : 30 * day);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX extensions;
    X509V3_set_ctx_nodb(&extensions);
    X509V3_set_ctx(&extensions, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* alternative =
        X509V3_EXT_conf_nid(nullptr, &extensions, NID_subject_alt_name, const_cast<char*>("IP:127.0.0.1"));
    if (alternative == nullptr || X509_add_ext(x, alternative, -1) != 1) Fail("subject alternative name");
    X509_EXTENSION_free(alternative);
    if (X509_sign(x, key.get(), EVP_sha256()) <= 0) Fail("X509_sign");
    if (SSL_CTX_use_certificate(context, x) != 1 || SSL_CTX_use_PrivateKey(context, key.get()) != 1)
        Fail("certificate");
}

std::optional<std::string> TRequestHead::Header(std::string_view name) const {
    for (const auto& [key, value] : Headers)
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    return std::nullopt;
}

TRequestHead ParseRequestHead(std::string_view head) {
    TRequestHead request;
    std::size_t end = head.find("\r\n");
    const std::string_view first = head.substr(0, end);
    const auto space1 = first.find(' '), space2 = first.rfind(' ');
    request.Method = first.substr(0, space1);
    if (space1 != std::string_view::npos && space2 > space1) {
        request.Target = first.substr(space1 + 1, space2 - space1 - 1);
        request.Version = first.substr(space2 + 1);
    }
    while (end != std::string_view::npos) {
        const std::size_t start = end + 2;
        end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            request.Headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return request;
}

}  // namespace keyrix::https
