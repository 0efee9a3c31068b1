#include "tests/support/TestCertificates.h"

#include "tests/TestSupport.h"

#include <memory>
#include <stdexcept>

namespace keyrix::test {

namespace {

std::string Run(const std::string& command) {
    const TCommandResult result = RunCommand(command + " 2>&1");
    if (result.ExitCode != 0) throw std::runtime_error("openssl failed: " + command + "\n" + result.Output);
    return result.Output;
}

// A key pair of the ciphers' kind (ECDSA on P-256) and a signing request for the name.
void Request(const std::string& folder, const std::string& name, const std::string& subject) {
    Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + subject +
        "' -keyout '" + folder + "/" + name + ".key' -out '" + folder + "/" + name + ".csr'");
}

std::string PinOf(const std::string& certificate) {
    std::string pin = Run("openssl x509 -in '" + certificate +
                          "' -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | "
                          "openssl enc -base64");
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
    return "sha256//" + pin;
}

TTestCertificate Files(const std::string& folder, const std::string& name) {
    const std::string certificate = folder + "/" + name + ".pem";
    return {certificate, folder + "/" + name + ".key", PinOf(certificate)};
}

TTestCertificates Make(const std::string& folder) {
    const std::string ca = folder + "/ca";
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '/CN=Keyrix Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout '" + ca +
        ".key' -out '" + ca + ".pem'");
    const auto sign = [&](const std::string& name, const std::string& subject, const std::string& alternative,
                          const std::string& dates) {
        Request(folder, name, subject);
        const std::string extensions = folder + "/" + name + ".ext";
        WriteFile(extensions, "subjectAltName=" + alternative + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        if (dates.empty()) {
            Run("openssl x509 -req -in '" + folder + "/" + name + ".csr' -CA '" + ca + ".pem' -CAkey '" + ca +
                ".key' -CAcreateserial -days 30 -extfile '" + extensions + "' -out '" + folder + "/" + name + ".pem'");
            return;
        }
        // openssl x509 has no start date of its own: openssl ca, with a minimal authority.
        WriteFile(folder + "/index.txt", "");
        WriteFile(folder + "/serial", "1000\n");
        WriteFile(folder + "/ca.cnf", "[ca]\ndefault_ca = test\n[test]\ndatabase = " + folder + "/index.txt\nnew_certs_dir = " +
                                          folder + "\nserial = " + folder + "/serial\ndefault_md = sha256\npolicy = any\n"
                                          "unique_subject = no\n[any]\ncommonName = supplied\n");
        Run("openssl ca -batch -notext -config '" + folder + "/ca.cnf' -cert '" + ca + ".pem' -keyfile '" + ca +
            ".key' -in '" + folder + "/" + name + ".csr' -extfile '" + extensions + "' " + dates + " -out '" + folder +
            "/" + name + ".pem'");
    };
    sign("good", "127.0.0.1", "IP:127.0.0.1", "");
    sign("expired", "127.0.0.1", "IP:127.0.0.1", "-startdate 20200101000000Z -enddate 20200201000000Z");
    sign("other", "hrm.example.com", "DNS:hrm.example.com", "");
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '/CN=127.0.0.1' "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" + folder + "/self.key' -out '" + folder + "/self.pem'");
    return {ca + ".pem", Files(folder, "good"), Files(folder, "self"), Files(folder, "expired"), Files(folder, "other")};
}

}  // namespace

const TTestCertificates& TestCertificates() {
    // Kept for the process's life: the servers of every test read them.
    static const auto folder = std::make_unique<TTempDir>();
    static const TTestCertificates certificates = Make(folder->Path());
    return certificates;
}

}  // namespace keyrix::test
