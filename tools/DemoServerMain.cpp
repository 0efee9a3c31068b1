// keyrix-demo-server: serves one file over HTTPS on 127.0.0.1 as the HRM web service
// would, behind Basic authentication, for a number of requests or until it is stopped.
#include "tools/DemoHttpsServer.h"
#include "tools/ToolOptions.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const Usage =
    "Usage: keyrix-demo-server --file FILE --user USER --password PASSWORD [--port N]\n"
    "                          [--path PATH] [--requests N] [--delay SECONDS] [--quiet]\n"
    "Serves FILE at https://127.0.0.1:N/PATH (default /General/HrDataService.asmx/GetBrakonData)\n"
    "to clients that authenticate with Basic as USER (domain included, e.g. DOMAIN\\account).\n"
    "Port 0 (the default) takes a free one. Prints \"listening on port N\" once it accepts\n"
    "connections, then one line per request unless --quiet. Ends after N answered requests\n"
    "(challenges count; default 0: no limit) or on SIGTERM or SIGINT. --delay holds each\n"
    "authorised answer that long before sending it, after a line that says so.\n";

std::atomic<bool> Stop{false};

void OnSignal(int) { Stop = true; }

}  // namespace

int main(int argc, char** argv) {
    using namespace keyrix::demo;
    TDemoServerOptions options;
    std::string file;
    try {
        TToolOptions arguments(argc, argv, Usage);
        while (arguments.More()) {
            if (arguments.Is("--file"))
                file = arguments.Text();
            else if (arguments.Is("--user"))
                options.User = arguments.Text();
            else if (arguments.Is("--password"))
                options.Password = arguments.Text();
            else if (arguments.Is("--port"))
                options.Port = static_cast<int>(arguments.Number(0, 65535));
            else if (arguments.Is("--path"))
                options.Path = arguments.Text();
            else if (arguments.Is("--requests"))
                options.MaxRequests = arguments.Number(0, UINT64_MAX);
            else if (arguments.Is("--delay"))
                options.Delay = std::chrono::seconds(arguments.Number(0, 3600));
            else if (arguments.Is("--quiet"))
                options.LogRequests = false;
            else
                arguments.Unknown();
        }
        if (file.empty() || options.User.empty()) throw TUsageError("--file and --user are required");
        if (options.Path.empty() || options.Path[0] != '/') throw TUsageError("--path must start with /");
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "keyrix-demo-server: %s\n%s", error.what(), Usage);
        return 2;
    }

    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "keyrix-demo-server: cannot read %s\n", file.c_str());
        return 1;
    }
    options.Body = std::move(content).str();

    // A client that goes away mid-answer is a failed write, not the end of the server.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    try {
        TDemoHttpsServer server(std::move(options));
        std::printf("listening on port %d\n", server.Port());
        std::fflush(stdout);
        server.Run(Stop);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "keyrix-demo-server: %s\n", error.what());
        return 1;
    }
    return 0;
}
