// The HRM feed download: one HTTPS GET of the configured URL, retried once after an HTTP
// error on a fresh connection, with every step in the sync log.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"

#include "common/Format.h"
#include "platform/Env.h"
#include "platform/FileHandles.h"
#include "setup/SetupWindow.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>

namespace keyrix {

namespace {

// The checks of the HRM server's certificate that the settings ask for; a CA file that
// cannot serve or a pin in another notation is refused here, before anything is sent.
TTlsChecks CertificateChecks(const TSetup& settings) {
    TTlsChecks checks;
    checks.VerifyAuthority = settings.HrmVerifyCertificate;
    checks.PinnedKeys = settings.HrmPinnedPublicKey;
    if (!checks.PinnedKeys.empty() && !ValidPins(checks.PinnedKeys))
        throw EHttpClientError(Format("Invalid value \"%s\" for \"HRM\"/\"Pinned public key\": expected libcurl's "
                                      "notation, sha256// and the base64 of the key's SHA-256 hash, several joined by ';'",
                                      checks.PinnedKeys));
    if (checks.VerifyAuthority && !settings.HrmCaFile.empty()) {
        checks.CaFile = settings.HrmCaFile;
        platform::TFd file(platform::Env().Open(checks.CaFile, O_RDONLY | O_CLOEXEC));
        struct stat st {};
        int error = file.Get() < 0 || platform::Env().FileStat(file.Get(), st) != 0 ? errno : 0;
        if (error == 0 && !S_ISREG(st.st_mode)) error = EINVAL;
        if (error != 0)
            throw EHttpClientError(Format("The CA file \"%s\" (\"HRM\"/\"CA file\") cannot be read: %s", checks.CaFile,
                                          error == EINVAL ? std::string("it is no regular file") : SysErrorMessage(error)));
        if (st.st_size == 0)
            throw EHttpClientError(Format("The CA file \"%s\" (\"HRM\"/\"CA file\") is empty", checks.CaFile));
    }
    return checks;
}

}  // namespace

void TDataModule1::CreateHttpClient() {
    // The client refers to its layer, so an old pair goes client first.
    ReleaseHttpClient();
    const TSetup& settings = Settings();
    FTlsLayer = std::make_unique<TTlsLayer>(
        [this](X509* certificate, bool ok, std::int32_t depth, std::int32_t error) {
            return AcceptPeerCertificate(certificate, ok, depth, error);
        },
        CertificateChecks(settings));
    THttpTimeouts timeouts = HttpTimeouts;
    timeouts.DownloadSeconds = settings.DownloadTimeoutSeconds;
    timeouts.MinimumBytesPerSecond = settings.MinimumSpeedBytesPerSecond;
    FHttpClient = std::make_unique<THttpClient>(*FTlsLayer, timeouts, MaxFeedBytes());
    FHttpClient->CallbackCheck = HttpCallbackCheck;
}

std::uint64_t TDataModule1::MaxFeedBytes() {
    return static_cast<std::uint64_t>(Settings().MaxFeedSizeMiB) * BytesPerMiB;
}

void TDataModule1::ReleaseHttpClient() {
    FHttpClient.reset();
    FTlsLayer.reset();
}

bool TDataModule1::AcceptPeerCertificate(X509*, bool, std::int32_t, std::int32_t) {
    // The HRM servers run on self-made and lapsed certificates; the service takes any.
    return true;
}

void TDataModule1::HttpGetFeed(std::unique_ptr<TKeyrixMemoryStream>& stream) {
    // A failure, even one of the client's set-up, leaves no stream.
    stream.reset();
    // The whole download, its retry included, ends by this.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(Settings().DownloadTimeoutSeconds);
    // What the summary keeps of the server's certificate, whatever the outcome.
    const auto notePeer = [this] {
        if (FTlsLayer && FTlsLayer->Peer().Seen) Summary.ServerPin = FTlsLayer->Peer().Pin;
    };
    for (int attempts = 0;;) {
        if (!FHttpClient) CreateHttpClient();
        FHttpClient->CustomHeaders.clear();
        stream = std::make_unique<TKeyrixMemoryStream>();
        try {
            // Read on every attempt: the settings object is the one place they live.
            const TSetup& settings = Settings();
            SyncLogDebug("HTTP get: %s", settings.HrmUrl);
            SyncLogDebug("HTTP get headers: %s", FHttpClient->CustomHeadersText());
            SyncLogDebug("HTTP get cmd: %s", settings.HrmUrl);
            FHttpClient->InProcessAuth = true;
            FHttpClient->Username = settings.HrmUser;
            FHttpClient->Password = settings.HrmPassword;
            FHttpClient->Get(settings.HrmUrl, *stream, deadline);
            notePeer();
            Summary.CertificateCheck = FTlsLayer->Checks().Name();
            SyncLogDebug("HTTP response code: %d", FHttpClient->ResponseCode());
            SyncLogDebug("HTTP get response size: %d bytes", static_cast<std::int64_t>(stream->Size()));
            FHttpClient->Disconnect();
            return;
        } catch (const EHttpProtocolError& error) {
            stream.reset();
            notePeer();
            SyncLogDebug("HTTP get error %s: %s", error.ClassName(), error.Message());
            // A retry starts on a fresh connection.
            ReleaseHttpClient();
            if (++attempts >= 2) throw;
            SyncLogDebug("HTTP get retrying");
        } catch (EHttpBodyTooLarge& error) {
            // Not retried: the same server would send the same body again.
            stream.reset();
            error.SetMessage(error.Message() + "; the limit is the registry value \"HRM\"/\"Maximum feed size MiB\"");
            throw;
        } catch (...) {
            stream.reset();
            notePeer();
            throw;
        }
    }
}

}  // namespace keyrix
