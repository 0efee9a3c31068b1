// The HRM feed download: one HTTPS GET of the configured URL, retried once after an HTTP
// error on a fresh connection, with every step in the sync log.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"

#include "setup/SetupWindow.h"

namespace keyrix {

void TDataModule1::CreateHttpClient() {
    // The client refers to its layer, so an old pair goes client first.
    ReleaseHttpClient();
    FTlsLayer = std::make_unique<TTlsLayer>(
        [this](X509* certificate, bool ok, std::int32_t depth, std::int32_t error) {
            return AcceptPeerCertificate(certificate, ok, depth, error);
        });
    FHttpClient = std::make_unique<THttpClient>(*FTlsLayer, HttpTimeouts, MaxFeedBytes());
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
            FHttpClient->Get(settings.HrmUrl, *stream);
            SyncLogDebug("HTTP response code: %d", FHttpClient->ResponseCode());
            SyncLogDebug("HTTP get response size: %d bytes", static_cast<std::int64_t>(stream->Size()));
            FHttpClient->Disconnect();
            return;
        } catch (const EHttpProtocolError& error) {
            stream.reset();
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
            throw;
        }
    }
}

}  // namespace keyrix
