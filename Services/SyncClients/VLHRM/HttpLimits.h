// The bounds of the feed download, in a header of their own so that users of the sync
// object need not see libcurl or OpenSSL.
#pragma once

#include <cstdint>

namespace keyrix {

// How long the client waits. Without them a server that accepts the connection and then
// never answers would hold the service for good.
struct THttpTimeouts {
    static constexpr long DefaultConnectSeconds = 60;
    static constexpr long DefaultStallSeconds = 300;
    long ConnectSeconds = DefaultConnectSeconds;  // TCP connect and TLS handshake
    long StallSeconds = DefaultStallSeconds;      // no byte received for this long
};

inline constexpr std::uint64_t BytesPerMiB = 1024 * 1024;

}  // namespace keyrix
