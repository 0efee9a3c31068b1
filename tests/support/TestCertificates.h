// Certificates for the TLS tests, made with the openssl command line once per test process:
// a test authority, and server certificates signed by it for 127.0.0.1 (good), for
// 127.0.0.1 but expired, and for another name, beside a self-signed one for 127.0.0.1. Each
// comes with its key and libcurl's pin of its public key.
#pragma once

#include <string>

namespace keyrix::test {

struct TTestCertificate {
    std::string CertificateFile, KeyFile;
    std::string Pin;  // "sha256//<base64>", as the openssl command line computes it
};

struct TTestCertificates {
    std::string AuthorityFile;  // the test authority's certificate (PEM)
    TTestCertificate Good, SelfSigned, Expired, OtherName;
};

// Made on the first call (raises std::runtime_error naming the openssl step that failed);
// the files live until the process ends.
const TTestCertificates& TestCertificates();

}  // namespace keyrix::test
