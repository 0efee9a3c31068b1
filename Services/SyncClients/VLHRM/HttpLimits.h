// The bounds of the feed download and the check tests put into its transfers, in a header
// of their own so that users of the sync object need not see libcurl or OpenSSL.
#pragma once

#include <cstdint>
#include <functional>

namespace keyrix {

// How long the client waits. Without them a server that accepts the connection and then
// never answers would hold the service for good.
struct THttpTimeouts {
    static constexpr long DefaultConnectSeconds = 60;
    static constexpr long DefaultStallSeconds = 300;
    long ConnectSeconds = DefaultConnectSeconds;  // TCP connect and TLS handshake
    // The stall window: slower than MinimumBytesPerSecond for this long ends the transfer
    // (a server silent for this long too). A trickle of a byte a second would otherwise
    // hold the run for as long as the server likes.
    long StallSeconds = DefaultStallSeconds;
    long MinimumBytesPerSecond = 1024;
    // The whole download, every request of it ("HRM" / "Download time-out seconds").
    long DownloadSeconds = 60 * 60;
};

// Run first in every header and body callback of the client's transfers
// (THttpClient::CallbackCheck); what it raises fails the transfer there.
using THttpCallbackCheck = std::function<void()>;

inline constexpr std::uint64_t BytesPerMiB = 1024 * 1024;

}  // namespace keyrix
