// The HRM feed download against a real HTTPS server on 127.0.0.1.
#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "common/Exceptions.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/vlhrm/RunJournal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>

using namespace keyrix;
using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {

const std::string Account = "hrmsync", Domain = "KEYRIX", Password = "RimaSelo473";

// A sync object that records every certificate check and can refuse them all.
class TWatchingModule : public TDataModule1 {
public:
    using TDataModule1::TDataModule1;
    struct TCheck {
        bool Ok;
        std::int32_t Depth, Error;
    };
    bool AcceptPeerCertificate(X509* certificate, bool ok, std::int32_t depth, std::int32_t error) override {
        Checks.push_back({ok, depth, error});
        return TDataModule1::AcceptPeerCertificate(certificate, ok, depth, error) && Verdict;
    }
    std::vector<TCheck> Checks;
    bool Verdict = true;
};

// A socket on 127.0.0.1 that never serves: bound only (connections are refused) or
// listening (the kernel completes the connect, then nothing is ever said).
class TDeadEnd {
public:
    explicit TDeadEnd(bool listening) : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (listening) {
            EXPECT_EQ(::listen(FFd, 4), 0);
        }
        EXPECT_EQ(::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        FUrl = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/feed";
    }
    TDeadEnd(const TDeadEnd&) = delete;
    TDeadEnd& operator=(const TDeadEnd&) = delete;
    ~TDeadEnd() { ::close(FFd); }
    const std::string& Url() const { return FUrl; }

private:
    int FFd;
    std::string FUrl;
};

// What a raised error was, for comparing.
struct TRaised {
    std::string ClassName, Message;
    int Status = 0;          // of an HTTP error
    bool SocketError = false;
};

TRaised Describe(const std::exception_ptr& error) {
    if (!error) return {"(nothing raised)", ""};
    try {
        std::rethrow_exception(error);
    } catch (const EHttpProtocolError& e) {
        return {e.ClassName(), e.Message(), e.ErrorCode(), false};
    } catch (const ESocketError& e) {
        return {e.ClassName(), e.Message(), 0, true};
    } catch (const std::exception& e) {
        const TErrorInfo info = DescribeException(e);
        return {info.ClassName, info.Message};
    }
}

Lines RequestLines(const std::string& url) {
    return {"console: HTTP get: " + url, "console: HTTP get headers: ", "console: HTTP get cmd: " + url};
}

Lines Joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Lines SuccessLines(const std::string& url, std::size_t size) {
    return Joined({RequestLines(url),
                   {"console: HTTP response code: 200", "console: HTTP get response size: " + std::to_string(size) + " bytes"}});
}

std::string ErrorLine(const std::string& statusLine) { return "console: HTTP get error EHttpProtocolError: " + statusLine; }

Lines FailedTwiceLines(const std::string& url, const std::string& statusLine) {
    return Joined({RequestLines(url), {ErrorLine(statusLine), "console: HTTP get retrying"}, RequestLines(url),
                   {ErrorLine(statusLine)}});
}

THttpResponse Status(int status, const std::string& reason, std::vector<std::string> headers = {}) {
    THttpResponse response;
    response.Status = status;
    response.Reason = reason;
    response.Headers = std::move(headers);
    return response;
}

THttpResponse Ok(const std::string& body, std::vector<std::string> headers = {}) {
    THttpResponse response = Status(200, "OK", std::move(headers));
    response.Body = body;
    return response;
}

TAuthenticator::TOptions Credentials(std::vector<std::string> offered, const THttpResponse& granted = Ok("granted")) {
    return {std::move(offered), Domain, Account, Password, granted};
}

THttpsTestServer::THandler Challenging(std::vector<std::string> offered) {
    auto authenticator = std::make_shared<TAuthenticator>(Credentials(std::move(offered)));
    return [authenticator](const THttpRequest& request) { return authenticator->Answer(request); };
}

class Download : public RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        DebugLogging = true;
        Setup.LogToFile = false;
        Setup.HrmUser = Domain + "\\" + Account;
        Setup.HrmPassword = Password;
    }
    void TearDown() override {
        DebugLogging = false;
        RunFixture::TearDown();
    }

    struct TResult {
        std::unique_ptr<TKeyrixMemoryStream> Stream;
        TRaised Raised;
        bool Failed = false;
        Lines Log;
        std::chrono::milliseconds Took{};
    };

    // One HttpGetFeed of the URL with the sync log lines it wrote. The out-parameter holds
    // a stream beforehand, so a failure must be seen to clear it.
    TResult Fetch(TDataModule1& module, const std::string& url) {
        Setup.HrmUrl = url;
        Journal = TRunJournal(LogPath);
        TResult result;
        result.Stream = std::make_unique<TKeyrixMemoryStream>();
        result.Stream->Write("stale");
        const auto start = std::chrono::steady_clock::now();
        try {
            module.HttpGetFeed(result.Stream);
        } catch (...) {
            result.Failed = true;
            result.Raised = Describe(std::current_exception());
        }
        result.Took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        result.Log = Journal.Finish();
        return result;
    }

    TWatchingModule Module{LogPath};
};

}  // namespace

TEST_F(Download, SuccessReturnsTheBodyAsReceivedOverTls12) {
    struct Case {
        const char* name;
        std::string body;
        TServerTls tls;
        std::int32_t certificateError;
    };
    const Case cases[] = {
        {"empty body, self-signed certificate, server up to TLS 1.3", "",
         {.MaxVersion = TLS1_3_VERSION}, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"binary body, expired certificate", std::string("<x>\0\r\n\xff", 7) + std::string(20000, 'b'),
         {.ExpiredCertificate = true}, X509_V_ERR_CERT_HAS_EXPIRED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        THttpsTestServer server(Respond({Ok(c.body)}), c.tls);
        TResult r = Fetch(module, server.Url());

        ASSERT_FALSE(r.Failed) << r.Raised.ClassName << ": " << r.Raised.Message;
        EXPECT_EQ(r.Log, SuccessLines(server.Url(), c.body.size()));
        ASSERT_NE(r.Stream, nullptr);
        EXPECT_EQ(r.Stream->View(), c.body);

        const std::vector<THttpRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Method + " " + requests[0].Target + " " + requests[0].Version, "GET /feed HTTP/1.1");
        EXPECT_EQ(requests[0].Header("User-Agent"), "007");
        EXPECT_EQ(requests[0].Header("Accept"), "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
        EXPECT_EQ(requests[0].Header("Connection"), std::nullopt);
        EXPECT_EQ(requests[0].Header("Authorization"), std::nullopt);

        // TLS 1.2 with the first cipher of the client's list that the server has.
        const std::vector<TConnectionRecord> connections = server.Connections();
        ASSERT_EQ(connections.size(), 1u);
        EXPECT_EQ(connections[0].Protocol, "TLSv1.2");
        EXPECT_EQ(connections[0].Cipher, "ECDHE-ECDSA-AES256-SHA384");

        // The certificate was put to the callback with OpenSSL's objection, and passed.
        EXPECT_TRUE(std::any_of(module.Checks.begin(), module.Checks.end(), [&](const TWatchingModule::TCheck& check) {
            return !check.Ok && check.Depth == 0 && check.Error == c.certificateError;
        }));

        // The connection is closed after the download; the client stays for the pass.
        EXPECT_TRUE(server.WaitForClientCloses(1));
        EXPECT_NE(module.HttpClient(), nullptr);
        EXPECT_NE(module.TlsLayer(), nullptr);
    }
}

TEST_F(Download, HttpErrorIsRetriedOnceOnAFreshConnectionThenRaised) {
    struct Case {
        const char* name;
        THttpsTestServer::THandler handler;
        std::string password;
        int status;
        std::string statusLine;
    };
    const Case cases[] = {
        {"404", Respond({Status(404, "Not Found")}), Password, 404, "HTTP/1.1 404 Not Found"},
        {"302 is not followed", Respond({Status(302, "Found", {"Location: /elsewhere"})}), Password, 302,
         "HTTP/1.1 302 Found"},
        {"401 offering an unsupported scheme", Challenging({"Bearer"}), Password, 401, "HTTP/1.1 401 Unauthorized"},
        {"401 with an empty password", Challenging({"Basic", "NTLM"}), "", 401, "HTTP/1.1 401 Unauthorized"},
        {"401 with a blank password", Challenging({"Basic"}), "   ", 401, "HTTP/1.1 401 Unauthorized"},
        // The server's words go into log lines: a control character in them shows as an escape.
        {"a reason with control characters", Respond({Status(503, "Busy\x1b[2J\tnow")}), Password, 503,
         "HTTP/1.1 503 Busy\\x1b[2J\\tnow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        Setup.HrmPassword = c.password;
        THttpsTestServer server(c.handler);
        TResult r = Fetch(module, server.Url());

        ASSERT_TRUE(r.Failed);
        EXPECT_EQ(r.Raised.ClassName, "EHttpProtocolError");
        EXPECT_EQ(r.Raised.Status, c.status);
        EXPECT_EQ(r.Raised.Message, c.statusLine);
        EXPECT_EQ(r.Stream, nullptr);
        EXPECT_EQ(r.Log, FailedTwiceLines(server.Url(), c.statusLine));

        // One request per attempt, each on a connection of its own, none with credentials.
        const std::vector<THttpRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].Connection, i + 1);
            EXPECT_EQ(requests[i].Target, "/feed");
            EXPECT_EQ(requests[i].Header("Authorization"), std::nullopt);
        }
        EXPECT_EQ(server.Connections().size(), 2u);
        EXPECT_EQ(module.HttpClient(), nullptr);
        EXPECT_EQ(module.TlsLayer(), nullptr);
    }
}

TEST_F(Download, ServerErrorThenSuccessAndTheNextDownloadMayRetryAgain) {
    THttpsTestServer server(Respond({Status(500, "Internal Server Error"), Ok("<feed/>"),
                                     Status(500, "Internal Server Error"), Ok("<feed/>")}));
    for (int download = 1; download <= 2; ++download) {
        SCOPED_TRACE(download);
        TResult r = Fetch(Module, server.Url());
        ASSERT_FALSE(r.Failed) << r.Raised.Message;
        EXPECT_EQ(r.Log, Joined({RequestLines(server.Url()),
                                 {ErrorLine("HTTP/1.1 500 Internal Server Error"), "console: HTTP get retrying"},
                                 SuccessLines(server.Url(), 7)}));
        ASSERT_NE(r.Stream, nullptr);
        EXPECT_EQ(r.Stream->View(), "<feed/>");
    }
    EXPECT_EQ(server.Connections().size(), 4u);
}

TEST_F(Download, AuthenticationAnswersTheFirstSupportedSchemeOnOneConnection) {
    struct Case {
        std::vector<std::string> offered;
        std::string used;
    };
    const Case cases[] = {
        {{"Basic"}, "Basic"},
        {{"Digest"}, "Digest"},
        {{"NTLM"}, "NTLM"},
        {{"Bearer", "Digest", "Basic"}, "Digest"},
        {{"NTLM", "Basic"}, "NTLM"},
        // Without a Kerberos ticket Negotiate has no answer, so the next exchange takes NTLM.
        {{"Negotiate", "NTLM"}, "NTLM"},
    };
    ::setenv("KRB5CCNAME", ("FILE:" + Dir.File("no-ticket")).c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offered.front() + " first of " + std::to_string(c.offered.size()));
        TWatchingModule module{LogPath};
        TAuthenticator authenticator(Credentials(c.offered, Ok("<feed>secret</feed>")));
        THttpsTestServer server(authenticator.Handler());
        TResult r = Fetch(module, server.Url());

        ASSERT_FALSE(r.Failed) << r.Raised.ClassName << ": " << r.Raised.Message;
        EXPECT_EQ(r.Log, SuccessLines(server.Url(), 19));
        EXPECT_EQ(r.Stream->View(), "<feed>secret</feed>");
        EXPECT_EQ(authenticator.Accepted(), Lines{c.used});
        EXPECT_EQ(authenticator.Rejected(), Lines{});
        EXPECT_EQ(server.Requests().front().Header("Authorization"), std::nullopt) << "the first request has no credentials";
        EXPECT_EQ(server.Connections().size(), 1u);
    }
}

TEST_F(Download, WrongPasswordGivesUpAfterThreeExchangesPerAttempt) {
    Setup.HrmPassword = "RimaSelo474";
    for (const char* scheme : {"Basic", "Digest", "NTLM"}) {
        SCOPED_TRACE(scheme);
        TWatchingModule module{LogPath};
        TAuthenticator authenticator(Credentials({scheme}));
        THttpsTestServer server(authenticator.Handler());
        TResult r = Fetch(module, server.Url());

        ASSERT_TRUE(r.Failed);
        EXPECT_EQ(r.Raised.ClassName, "EHttpProtocolError");
        EXPECT_EQ(r.Raised.Status, 401);
        EXPECT_EQ(r.Log, FailedTwiceLines(server.Url(), "HTTP/1.1 401 Unauthorized"));
        EXPECT_EQ(authenticator.Accepted(), Lines{});
        EXPECT_EQ(authenticator.Rejected(), Lines(6, scheme));
        EXPECT_EQ(server.Connections().size(), 2u);
    }
}

TEST_F(Download, TransportFailuresAreRaisedAtOnceWithoutRetry) {
    struct Case {
        const char* name;
        std::optional<TServerTls> tls;  // none: nothing listens
        bool refuseCertificate;
        std::string error;  // part of the error's message
    };
    const Case cases[] = {
        {"unreachable", std::nullopt, false, "Couldn't connect to server"},
        // An RSA key, so that the server has a cipher of the list that TLS 1.1 can use and
        // what fails is the version.
        {"TLS 1.1 only", TServerTls{TLS1_1_VERSION, TLS1_1_VERSION, "ECDHE-RSA-AES256-SHA:@SECLEVEL=0", false, true},
         false, "unsupported protocol"},
        {"no listed cipher",
         TServerTls{TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305"}, false,
         "handshake failure"},
        {"certificate refused by the callback", TServerTls{}, true, "SSL certificate problem"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        module.Verdict = !c.refuseCertificate;
        std::optional<TDeadEnd> refusing;
        std::optional<THttpsTestServer> server;
        if (c.tls)
            server.emplace(Respond({Ok("never sent")}), *c.tls);
        else
            refusing.emplace(false);
        const std::string url = server ? server->Url() : refusing->Url();
        TResult r = Fetch(module, url);

        ASSERT_TRUE(r.Failed);
        EXPECT_EQ(r.Raised.ClassName, "ESocketError") << r.Raised.Message;
        EXPECT_TRUE(r.Raised.SocketError);
        EXPECT_NE(r.Raised.Message.find(c.error), std::string::npos) << r.Raised.Message;
        EXPECT_EQ(r.Stream, nullptr);
        EXPECT_EQ(r.Log, RequestLines(url)) << "no error line, no retry";
        EXPECT_NE(module.HttpClient(), nullptr) << "the pass frees the client";
        EXPECT_EQ(module.Checks.empty(), !c.refuseCertificate);
        if (server) {
            const std::vector<TConnectionRecord> connections = server->EndedConnections(1);
            ASSERT_EQ(connections.size(), 1u);
            EXPECT_FALSE(connections[0].Handshake);
            EXPECT_NE(connections[0].HandshakeError, "");
            EXPECT_EQ(server->Requests().size(), 0u);
        }
    }
}

TEST_F(Download, SilentServerHitsTheTimeOutsWithoutRetry) {
    struct Case {
        const char* name;
        THttpTimeouts timeouts;
        bool stallMidBody;  // otherwise the connect is never answered
    };
    const Case cases[] = {
        {"stalled mid-body", {THttpTimeouts::DefaultConnectSeconds, 2}, true},
        {"TLS handshake never answered", {2, THttpTimeouts::DefaultStallSeconds}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        module.HttpTimeouts = c.timeouts;
        THttpResponse partial = Ok(std::string(1000, 'x'));
        partial.StallAfter = 100;
        std::optional<THttpsTestServer> server;
        std::optional<TDeadEnd> silent;
        if (c.stallMidBody)
            server.emplace(Respond({partial}));
        else
            silent.emplace(true);
        const std::string url = server ? server->Url() : silent->Url();
        TResult r = Fetch(module, url);

        ASSERT_TRUE(r.Failed);
        EXPECT_EQ(r.Raised.ClassName, "ESocketTimeout") << r.Raised.Message;
        EXPECT_TRUE(r.Raised.SocketError);
        // libcurl judges the speed over its last few seconds, so a stall is noticed a few
        // seconds after the bytes before it.
        EXPECT_GE(r.Took, std::chrono::seconds(2));
        EXPECT_LT(r.Took, std::chrono::seconds(15));
        EXPECT_EQ(r.Stream, nullptr);
        EXPECT_EQ(r.Log, RequestLines(url));
        if (server) {
            EXPECT_EQ(server->Requests().size(), 1u);
            EXPECT_TRUE(server->WaitForClientCloses(1));
            EXPECT_EQ(server->Connections().size(), 1u);
        }
    }
}

namespace {

// A body over the size limit in each way a server can send one. The limit is 1 MiB here
// (the hive value at its least); memory must stay within it, not only the message say so.
constexpr std::size_t OneMiB = 1024 * 1024;

struct TOversized {
    const char* name;
    THttpResponse response;
    const char* says;  // how the message puts it
};

std::vector<TOversized> OversizedBodies() {
    auto chunked = [](std::string block, std::uint64_t repeat) {
        THttpResponse response = Ok(std::move(block));
        response.Chunked = true;
        response.Repeat = repeat;
        return response;
    };
    THttpResponse announced = Ok("<ArrayOfBrakonData/>");
    announced.AnnouncedLength = std::uint64_t{2} * 1024 * 1024 * 1024;
    return {
        {"one byte over, with its length", Ok(std::string(OneMiB + 1, 'a')), "announces 1048577 bytes, more than"},
        {"one byte over, chunked", chunked(std::string(OneMiB + 1, 'b'), 1), "is larger than"},
        // As far as the client can tell a body without end: 256 times the limit.
        {"without end, chunked", chunked(std::string(64 * 1024, 'c'), 4096), "is larger than"},
        {"a length over the limit announced, little sent", announced, "announces 2147483648 bytes, more than"},
    };
}

}  // namespace

TEST_F(Download, BodyPastTheSizeLimitFailsAtOnceWithoutRetry) {
    EXPECT_EQ(TDataModule1::MaxFeedBytes(), std::uint64_t{1024} * OneMiB) << "1 GiB unless the hive says otherwise";
    Setup.MaxFeedSizeMiB = 1;
    for (const TOversized& c : OversizedBodies()) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        THttpsTestServer server(Respond({c.response}));
        TResult r = Fetch(module, server.Url());

        ASSERT_TRUE(r.Failed);
        EXPECT_EQ(r.Raised.ClassName, "EHttpBodyTooLarge") << r.Raised.Message;
        EXPECT_FALSE(r.Raised.SocketError);
        // The message names the limit, where it is set, and the server.
        EXPECT_NE(r.Raised.Message.find("limit of 1048576 bytes (1 MiB)"), std::string::npos) << r.Raised.Message;
        EXPECT_NE(r.Raised.Message.find(c.says), std::string::npos) << r.Raised.Message;
        EXPECT_NE(r.Raised.Message.find("\"HRM\"/\"Maximum feed size MiB\""), std::string::npos) << r.Raised.Message;
        EXPECT_NE(r.Raised.Message.find(server.Url()), std::string::npos) << r.Raised.Message;
        EXPECT_EQ(r.Stream, nullptr);
        // An "other" failure: no error line, no retry, and no waiting for the stall time-out.
        EXPECT_EQ(r.Log, RequestLines(server.Url()));
        EXPECT_EQ(server.Requests().size(), 1u);
        EXPECT_LT(r.Took, std::chrono::seconds(15));
        EXPECT_NE(module.HttpClient(), nullptr);
    }
}

TEST_F(Download, BodyOfExactlyTheSizeLimitIsTaken) {
    Setup.MaxFeedSizeMiB = 1;
    THttpResponse chunked = Ok(std::string(64 * 1024, 'k'));
    chunked.Chunked = true;
    chunked.Repeat = OneMiB / (64 * 1024);
    for (const THttpResponse& response : {Ok(std::string(OneMiB, 'l')), chunked}) {
        SCOPED_TRACE(response.Chunked ? "chunked" : "with its length");
        TWatchingModule module{LogPath};
        THttpsTestServer server(Respond({response}));
        TResult r = Fetch(module, server.Url());
        ASSERT_FALSE(r.Failed) << r.Raised.ClassName << ": " << r.Raised.Message;
        ASSERT_NE(r.Stream, nullptr);
        EXPECT_EQ(r.Stream->Size(), OneMiB);
        EXPECT_EQ(r.Stream->View().find_first_not_of(response.Body[0]), std::string_view::npos);
        EXPECT_EQ(r.Log, SuccessLines(server.Url(), OneMiB));
    }
}

TEST_F(Download, MemoryStaysWithinTheSizeLimitWhenABodyIsCut) {
    Setup.MaxFeedSizeMiB = 1;
    for (const TOversized& c : OversizedBodies()) {
        SCOPED_TRACE(c.name);
        TWatchingModule module{LogPath};
        THttpsTestServer server(Respond({c.response}));
        module.CreateHttpClient();
        // The client's own stream, looked at after the failure (the download frees its own).
        TKeyrixMemoryStream body;
        std::exception_ptr raised;
        try {
            module.HttpClient()->Get(server.Url(), body);
        } catch (...) {
            raised = std::current_exception();
        }
        EXPECT_EQ(Describe(raised).ClassName, "EHttpBodyTooLarge") << Describe(raised).Message;
        EXPECT_LE(body.Size(), OneMiB);
        EXPECT_LE(body.Capacity(), OneMiB) << "the stream never holds more memory than the limit";
        if (c.response.Chunked && c.response.Repeat > 1) {
            // Cut at the limit, not before: it took what the limit allows.
            EXPECT_GE(body.Size(), OneMiB - 64 * 1024);
        }
    }
}

TEST_F(Download, CookiesLastForTheClientsLife) {
    THttpsTestServer server(Respond({Status(401, "Unauthorized", {"WWW-Authenticate: Basic realm=\"hrm\"", "Set-Cookie: session=4711; Path=/"}),
                                     Ok("first"), Ok("again"), Ok("fresh")}));
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(Fetch(Module, server.Url()).Failed);
    Module.ReleaseHttpClient();
    ASSERT_FALSE(Fetch(Module, server.Url()).Failed);

    const std::vector<THttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].Header("Cookie"), std::nullopt);
    EXPECT_EQ(requests[1].Header("Cookie"), "session=4711") << "sent with the credentials";
    EXPECT_EQ(requests[2].Header("Cookie"), "session=4711") << "kept across the closed connection";
    EXPECT_EQ(requests[2].Connection, 2u);
    EXPECT_EQ(requests[3].Header("Cookie"), std::nullopt) << "gone with the client";
    EXPECT_TRUE(server.WaitForClientCloses(3));
}

TEST(DownloadChallenges, SchemesAreReadInTheOrderSent) {
    struct Case {
        std::string value;
        Lines schemes;
    };
    const Case cases[] = {
        {"Basic realm=\"hrm\"", {"Basic"}},
        {"NTLM", {"NTLM"}},
        {"NTLM TlRMTVNTUAACAAAADAAMADAAAAA=", {"NTLM"}},
        {"Negotiate, NTLM", {"Negotiate", "NTLM"}},
        {"Digest realm=\"a, b\", qop=\"auth,auth-int\", nonce=\"n\", algorithm=MD5", {"Digest"}},
        {"Bearer realm = \"x\", error=\"invalid\", Basic realm=\"y\"", {"Bearer", "Basic"}},
        {"Digest realm=\"say \\\"hi\\\", Basic x\", Basic", {"Digest", "Basic"}},
        {"  ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(ChallengeSchemes(c.value), c.schemes) << c.value;
}

TEST(DownloadChallenges, TheFirstSupportedUntriedSchemeIsChosen) {
    struct Case {
        Lines offered, tried;
        const char* chosen;  // null: none
    };
    const Case cases[] = {
        {{"Bearer", "digest", "Basic"}, {}, "Digest"},
        {{"NTLM", "Basic"}, {}, "NTLM"},
        {{"Negotiate", "NTLM"}, {"Negotiate"}, "NTLM"},
        {{"Basic"}, {"Basic", "Basic"}, "Basic"},
        {{"Bearer", "Mutual"}, {}, nullptr},
        {{}, {}, nullptr},
    };
    for (const Case& c : cases) {
        const TAuthScheme* scheme = ChooseAuthScheme(c.offered, c.tried);
        EXPECT_STREQ(scheme ? scheme->Name : nullptr, c.chosen) << ::testing::PrintToString(c.offered);
    }
}
