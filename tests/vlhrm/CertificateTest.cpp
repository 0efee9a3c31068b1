// The HRM server's certificate (verification against an authority, key pins) and the bounds
// of a download that a slow server cannot stretch, against a real TLS server on 127.0.0.1
// with certificates made by the openssl command line.
#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "common/Exceptions.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/vlhrm/ExecutableFixture.h"
#include "tests/vlhrm/RunJournal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

using namespace keyrix;
using namespace keyrix::test;
using namespace std::chrono_literals;

namespace {

const std::string Feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData/>";

// A server behind Basic authentication, with the certificate given.
class TGuardedServer {
public:
    explicit TGuardedServer(const TTestCertificate& certificate, THttpResponse granted = {})
        : FAuthenticator({{"Basic"}, "KEYRIX", "hrmsync", "secret", Granted(std::move(granted))}),
          FServer(FAuthenticator.Handler(), {}, {certificate.CertificateFile, certificate.KeyFile}) {}
    std::string Url() const { return FServer.Url(); }
    const THttpsTestServer& Server() const { return FServer; }
    // Whether any request carried credentials.
    bool SawAuthorization() const {
        for (const THttpRequest& request : FServer.Requests())
            if (request.Header("Authorization")) return true;
        return false;
    }

private:
    static THttpResponse Granted(THttpResponse response) {
        if (response.Body.empty()) response.Body = Feed;
        return response;
    }
    TAuthenticator FAuthenticator;
    THttpsTestServer FServer;
};

class Certificate : public RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        Setup.LogToFile = false;
        Setup.HrmUser = "KEYRIX\\hrmsync";
        Setup.HrmPassword = "secret";
    }

    struct TFetched {
        bool Ok = false;
        std::string ClassName, Message;
        std::string Check, Pin;  // of the summary
        std::size_t Bytes = 0;
        std::chrono::milliseconds Took{};
    };
    // One HttpGetFeed of the URL by a new sync object.
    TFetched Fetch(const std::string& url, const std::function<void(TDataModule1&)>& prepare = nullptr) {
        Setup.HrmUrl = url;
        Journal = TRunJournal(LogPath);
        TDataModule1 module(LogPath);
        if (prepare) prepare(module);
        TFetched fetched;
        auto body = std::make_unique<TKeyrixMemoryStream>();  // a failure must clear it
        body->Write("stale");
        const auto start = std::chrono::steady_clock::now();
        try {
            module.HttpGetFeed(body);
            fetched.Bytes = body != nullptr ? body->Size() : 0;
            fetched.Ok = body != nullptr && std::string(body->View()) == Feed;
        } catch (const std::exception& e) {
            const TErrorInfo info = DescribeException(e);
            fetched.ClassName = info.ClassName;
            fetched.Message = info.Message;
            EXPECT_EQ(body, nullptr) << "a failed download leaves no stream";
        }
        fetched.Took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        fetched.Check = module.Summary.CertificateCheck;
        fetched.Pin = module.Summary.ServerPin;
        return fetched;
    }
    void Checks(bool verify, const std::string& caFile, const std::string& pins) {
        Setup.HrmVerifyCertificate = verify;
        Setup.HrmCaFile = caFile;
        Setup.HrmPinnedPublicKey = pins;
    }
    // The pin a refusal names.
    static std::string PinInMessage(const std::string& message) {
        const auto at = message.find("public key pin ");
        return at == std::string::npos ? "" : message.substr(at + 15, message.find(' ', at + 15) - at - 15);
    }
};

}  // namespace

// Each setting against each certificate: the default takes all four, as before; an authority
// takes only the good one and names why it refuses the others; the system's store does not
// know the test authority; a pin trusts a self-signed server without an authority. A refusal
// ends the connection in its handshake: no request, so no credentials, and no retry.
TEST_F(Certificate, EachCheckTakesWhatItShouldAndNamesWhyItRefuses) {
    const TTestCertificates& c = TestCertificates();
    struct Case {
        const char* what;
        const TTestCertificate& certificate;
        bool verify;
        std::string caFile, pins;
        const char* refusal;  // null: taken
        const char* check;    // of a taken one
    };
    const Case cases[] = {
        {"default, good", c.Good, false, "", "", nullptr, "none"},
        {"default, self-signed", c.SelfSigned, false, "", "", nullptr, "none"},
        {"default, expired", c.Expired, false, "", "", nullptr, "none"},
        {"default, another name", c.OtherName, false, "", "", nullptr, "none"},
        {"authority, good", c.Good, true, c.AuthorityFile, "", nullptr, "authority"},
        {"authority, self-signed", c.SelfSigned, true, c.AuthorityFile, "", "untrusted issuer", nullptr},
        {"authority, expired", c.Expired, true, c.AuthorityFile, "", "expired or not yet valid", nullptr},
        {"authority, another name", c.OtherName, true, c.AuthorityFile, "", "host name mismatch", nullptr},
        {"the system's store, good", c.Good, true, "", "", "untrusted issuer", nullptr},
        {"pin, self-signed", c.SelfSigned, false, "", c.SelfSigned.Pin, nullptr, "pin"},
        {"one of two pins, self-signed", c.SelfSigned, false, "", c.Good.Pin + ";" + c.SelfSigned.Pin, nullptr, "pin"},
        {"wrong pin, self-signed", c.SelfSigned, false, "", c.Good.Pin, "pin mismatch", nullptr},
        {"authority and pin, good", c.Good, true, c.AuthorityFile, c.Good.Pin, nullptr, "both"},
        {"authority and a wrong pin, good", c.Good, true, c.AuthorityFile, c.SelfSigned.Pin, "pin mismatch", nullptr},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TGuardedServer server(test.certificate);
        Checks(test.verify, test.caFile, test.pins);
        const TFetched fetched = Fetch(server.Url());
        EXPECT_EQ(fetched.Pin, test.certificate.Pin) << "the summary keeps the server's pin";
        if (test.refusal == nullptr) {
            EXPECT_TRUE(fetched.Ok) << fetched.ClassName << ": " << fetched.Message;
            EXPECT_EQ(fetched.Check, test.check);
            EXPECT_TRUE(server.SawAuthorization());
            continue;
        }
        EXPECT_FALSE(fetched.Ok);
        EXPECT_EQ(fetched.ClassName, "ECertificateRefused") << fetched.Message;
        EXPECT_EQ(fetched.Message.rfind("The certificate of " + server.Url() + " was refused (" + test.refusal + "): ", 0), 0u)
            << fetched.Message;
        for (const std::string& part : {std::string("subject \"CN="), std::string("issuer \"CN="),
                                        std::string("valid from "), "public key pin " + test.certificate.Pin + " "})
            EXPECT_NE(fetched.Message.find(part), std::string::npos) << part << " in " << fetched.Message;
        EXPECT_EQ(fetched.Check, "") << "no check passed";
        EXPECT_TRUE(server.Server().Requests().empty()) << "nothing was sent, credentials least of all";
        EXPECT_EQ(server.Server().Connections().size(), 1u) << "no retry";
    }
}

// The pin that a refusal names, once in the hive, is taken: the way to trust a server after
// checking its certificate.
TEST_F(Certificate, ThePinOfARefusalIsTakenOncePinned) {
    const TTestCertificates& c = TestCertificates();
    TGuardedServer server(c.SelfSigned);
    Checks(true, c.AuthorityFile, "");
    const TFetched refused = Fetch(server.Url());
    ASSERT_EQ(refused.ClassName, "ECertificateRefused") << refused.Message;
    const std::string pin = PinInMessage(refused.Message);
    EXPECT_EQ(pin, c.SelfSigned.Pin);
    // The README's command, which prints the pin of a server to compare with the message's.
    const TCommandResult printed = RunCommand(
        "openssl s_client -connect 127.0.0.1:" + std::to_string(server.Server().Port()) +
        " </dev/null 2>/dev/null | openssl x509 -pubkey -noout | openssl pkey -pubin -outform der | "
        "openssl dgst -sha256 -binary | openssl enc -base64");
    EXPECT_EQ("sha256//" + printed.Output, pin + "\n");
    Checks(false, "", pin);
    const TFetched taken = Fetch(server.Url());
    EXPECT_TRUE(taken.Ok) << taken.Message;
    EXPECT_EQ(taken.Check, "pin");
}

// Settings that cannot serve are errors naming the value, before any connection is made.
TEST_F(Certificate, UnusableSettingsAreRefusedBeforeAnythingIsSent) {
    const TTestCertificates& c = TestCertificates();
    TTempDir dir;
    WriteFile(dir.File("empty.pem"), "");
    struct Case {
        bool verify;
        std::string caFile, pins, message;
    };
    const Case cases[] = {
        {false, "", "sha256//abc", "Invalid value \"sha256//abc\" for \"HRM\"/\"Pinned public key\""},
        {false, "", "md5//" + c.Good.Pin.substr(8), "for \"HRM\"/\"Pinned public key\""},
        {false, "", c.Good.Pin + ";", "for \"HRM\"/\"Pinned public key\""},
        {true, dir.File("missing.pem"), "",
         "The CA file \"" + dir.File("missing.pem") + "\" (\"HRM\"/\"CA file\") cannot be read: No such file or directory"},
        {true, dir.File("empty.pem"), "", "The CA file \"" + dir.File("empty.pem") + "\" (\"HRM\"/\"CA file\") is empty"},
        {true, dir.Path(), "", "(\"HRM\"/\"CA file\") cannot be read: it is no regular file"},
        // OpenSSL finds no certificate in it only as it connects: nothing is sent all the same.
        {true, dir.File("garbage.pem"), "", "The CA file \"" + dir.File("garbage.pem") + "\" (\"HRM\"/\"CA file\") cannot be used: "},
    };
    WriteFile(dir.File("garbage.pem"), "no certificate here\n");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.message);
        TGuardedServer server(c.Good);
        Checks(test.verify, test.caFile, test.pins);
        const TFetched fetched = Fetch(server.Url());
        EXPECT_EQ(fetched.ClassName, "EHttpClientError");
        EXPECT_NE(fetched.Message.find(test.message), std::string::npos) << fetched.Message;
        EXPECT_TRUE(server.Server().Requests().empty()) << "no request was sent";
        if (test.caFile != dir.File("garbage.pem")) {
            EXPECT_TRUE(server.Server().Connections().empty()) << "no connection was made";
        }
    }
}

// A server that trickles (slower than the minimum over the stall window) or one that keeps
// the minimum but never ends within the whole download's bound ends the download, once,
// naming the bound and its setting; a steady slow one above the minimum is read whole.
TEST_F(Certificate, ASlowServerEndsTheDownloadAtTheBoundsThatNameTheirSettings) {
    const TTestCertificates& c = TestCertificates();
    struct Case {
        const char* what;
        std::size_t bytes, piece;  // the body, and what is sent every 100 ms
        std::int32_t downloadSeconds;
        const char* error;  // part of the message; null: read whole
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"500 bytes a second", 20'000, 50, 60,
         "was slower than 1024 bytes per second for 2 seconds (\"HRM\"/\"Minimum speed bytes per second\")", 5s},
        {"40 KiB a second for 5 s, 2 s allowed", 200'000, 4096, 2,
         "did not end within 2 seconds (\"HRM\"/\"Download time-out seconds\")", 4s},
        {"2000 bytes a second for 3 s", 6'000, 200, 60, nullptr, 6s},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        THttpResponse slow;
        slow.Body = std::string(test.bytes, 'x');
        slow.TrickleBytes = test.piece;
        slow.TrickleInterval = 100ms;
        TGuardedServer server(c.Good, slow);
        Checks(false, "", "");
        Setup.DownloadTimeoutSeconds = test.downloadSeconds;
        const TFetched fetched = Fetch(server.Url(), [](TDataModule1& module) { module.HttpTimeouts.StallSeconds = 2; });
        EXPECT_LT(fetched.Took, test.within);
        const auto requests = server.Server().Requests();
        EXPECT_EQ(requests.size(), 2u) << "the challenge and the answer: no retry";
        if (test.error == nullptr) {
            EXPECT_EQ(fetched.ClassName, "") << fetched.Message;
            EXPECT_EQ(fetched.Bytes, test.bytes) << "read whole";
            continue;
        }
        EXPECT_EQ(fetched.ClassName, "ESocketTimeout") << fetched.Message;
        EXPECT_EQ(fetched.Message.rfind("The download from " + server.Url() + " ", 0), 0u) << fetched.Message;
        EXPECT_NE(fetched.Message.find(test.error), std::string::npos) << fetched.Message;
    }
    Setup.DownloadTimeoutSeconds = TSetup::DefaultDownloadTimeoutSeconds;
}

namespace {

class CertificateRun : public RunRecord {
protected:
    // The hive of RunRecord, the feed at the URL given, the pin given.
    void WritePinnedHive(const TTestDatabase& database, const std::string& url, const std::string& pin) {
        WriteDatabaseHive(database, "\"Log messages to file\"=dword:00000001\r\n", "",
                          "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + url +
                              "\"\r\n\"Username\"=\"KEYRIX\\\\hrmsync\"\r\n\"Password\"=\"secret\"\r\n\"Pinned public key\"=\"" +
                              pin + "\"\r\n");
    }
};

}  // namespace

// The executable, end to end: a pinned self-signed server is trusted and its pin recorded;
// with another pin the pass fails before a request, nothing is committed, and the summary
// and the event log name the refusal and the server's own pin.
TEST_F(CertificateRun, APinnedServerIsTrustedAndAnotherPinFailsThePass) {
    const TTestCertificates& c = TestCertificates();
    TTestDatabase database;
    THttpResponse feed;
    feed.Body = FeedOfNumbers({101});
    TGuardedServer server(c.SelfSigned, feed);
    WritePinnedHive(database, server.Url(), c.SelfSigned.Pin);
    ASSERT_EQ(Run("/SVC /DEBUG").ExitCode, 0);
    EXPECT_EQ(Jq("[.outcome, .hrm.added, .certificate.check, .certificate.serverPin]"),
              "[\"done\",1,\"pin\",\"" + c.SelfSigned.Pin + "\"]");
    const std::vector<TFields> first = SummaryEntries();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].at("KEYRIX_CERTIFICATE_CHECK"), "pin");
    EXPECT_EQ(first[0].at("KEYRIX_SERVER_PIN"), c.SelfSigned.Pin);

    const std::size_t requests = server.Server().Requests().size();
    WritePinnedHive(database, server.Url(), c.Good.Pin);
    ASSERT_EQ(Run("/SVC /DEBUG").ExitCode, 0);
    EXPECT_EQ(Jq("[.outcome, .committed, .errorClass, .certificate.check, .certificate.serverPin]"),
              "[\"failed-work\",false,\"ECertificateRefused\",null,\"" + c.SelfSigned.Pin + "\"]");
    EXPECT_NE(Jq(".errorMessage", "-r").find("was refused (pin mismatch)"), std::string::npos) << Jq(".errorMessage");
    EXPECT_EQ(server.Server().Requests().size(), requests) << "no request, no credentials";
    const std::string users = database.Isql("SELECT 'N=' || COUNT(*) FROM USERS WHERE CLASS <> 'GROUP';");
    EXPECT_NE(users.find("N=1"), std::string::npos) << users;
    EXPECT_NE(ReadFile(EventLog).find("Critical error on service work:\\r\\nECertificateRefused\\r\\nThe certificate of "),
              std::string::npos);
}
