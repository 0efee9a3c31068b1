// What the loopback HTTPS servers of the tests and of the demo share: a certificate made
// at start (the client takes any certificate) and the reading of a request head.
#pragma once

#include <openssl/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keyrix::https {

// Installs a new self-signed certificate for 127.0.0.1 and its key (P-256, or RSA 2048)
// in the context: valid from an hour ago for thirty days, or expired a day ago.
// Raises std::runtime_error naming OpenSSL's error.
void UseSelfSignedCertificate(SSL_CTX* context, bool rsa = false, bool expired = false);

struct TRequestHead {
    std::string Method, Target, Version;
    std::vector<std::pair<std::string, std::string>> Headers;  // in the order sent, values trimmed
    // The first header of that name, compared in any case.
    std::optional<std::string> Header(std::string_view name) const;
};

// The request line and header lines of a head (without the blank line that ends it).
TRequestHead ParseRequestHead(std::string_view head);

}  // namespace keyrix::https
