// The check command on arbitrary summary files, as a planted or damaged file would reach it:
// whatever the bytes, the answer is one line of plain text in the plugin's form, with at most
// one '|' before the performance data, and a state that the line names.
#include "Services/SyncClients/VLHRM/Check.h"
#include "tests/fuzz/FuzzSupport.h"

#include <string>
#include <string_view>

using namespace keyrix;
using keyrix::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    // 2025-12-11T08:00:00Z: the seeds' runs end shortly before.
    const auto now = std::chrono::system_clock::from_time_t(1765440000);
    TCheckResult result;
    try {
        result = CheckSummaryText(json, "/opt/keyrix/VLHRMSync_last.json", now);
    } catch (...) {
        keyrix::fuzz::UnexpectedException("CheckSummaryText");
    }
    const char* names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    const int state = static_cast<int>(result.State);
    Check(state >= 0 && state <= 3, "a state outside 0 to 3");
    Check(result.Line.rfind(std::string("KEYRIX SYNC ") + names[state] + " - ", 0) == 0,
          "the line does not begin with its state");
    std::size_t bars = 0;
    for (std::size_t i = 0; i < result.Line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(result.Line[i]);
        Check(byte >= 0x20 && byte != 0x7F, "a control character on the line");
        Check(!(byte == 0xC2 && i + 1 < result.Line.size() &&
                static_cast<unsigned char>(result.Line[i + 1]) < 0xA0),
              "a C1 control on the line");
        if (byte == '|') ++bars;
    }
    Check(bars <= 1, "a '|' besides the one before the performance data");
    Check(result.State != TCheckState::Unknown || bars == 0, "performance data with UNKNOWN");
    return 0;
}
