#include "bench/RoundTrips.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <linux/tcp.h>  // the kernel's tcp_info: glibc's lacks the data segment counts
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace keyrix::bench {

namespace {

int PeerPort(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
    if (peer.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
    if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
    return -1;
}

}  // namespace

void TRoundTripMeter::Refresh() {
    FSockets.clear();
    for (int fd : Connections())
        if (std::find(FExcluded.begin(), FExcluded.end(), fd) == FExcluded.end()) FSockets.push_back(fd);
}

std::vector<int> TRoundTripMeter::Connections() const {
    std::vector<int> found;
    struct TCloser {
        void operator()(DIR* folder) const { ::closedir(folder); }
    };
    std::unique_ptr<DIR, TCloser> folder(::opendir("/proc/self/fd"));
    if (!folder) return found;
    while (const dirent* entry = ::readdir(folder.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        struct stat info {};
        if (::fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
        if (PeerPort(static_cast<int>(fd)) == FPort) found.push_back(static_cast<int>(fd));
    }
    return found;
}

std::uint64_t TRoundTripMeter::Sent() const {
    std::uint64_t sent = 0;
    for (int fd : FSockets) {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0) sent += info.tcpi_data_segs_out;
    }
    return sent;
}

}  // namespace keyrix::bench
