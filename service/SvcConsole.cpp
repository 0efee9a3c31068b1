#include "service/SvcConsole.h"

#include "platform/Process.h"

#include <strings.h>
#include <unistd.h>

#include <mutex>
#include <optional>

namespace keyrix {

bool DebugMode = false;
std::uint8_t ConsoleLevel = 1;

TServiceLogHook ServiceLogInfo;
TServiceLogHook ServiceLogWarning;
TServiceLogHook ServiceLogError;

namespace {

// Built on first use, so that it exists before anything else in the process writes a line,
// and destroyed only after main has returned. The lock is held while a line is written and
// while the acquired output is put in place or taken out, so that a line written on another
// thread (the signal thread's) never meets an output that is going.
struct TConsoleState {
    std::mutex Lock;
    struct TAcquired {
        TAcquired() : Output(STDOUT_FILENO), InPlace(Output) {}
        platform::TFdConsoleOutput Output;
        platform::TScopedConsoleOutput InPlace;
    };
    std::optional<TAcquired> Acquired;
};

TConsoleState& Console() {
    static TConsoleState state;
    return state;
}

}  // namespace

bool FindSwitch(std::string_view name, const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg.size() != name.size() + 1 || (arg[0] != '-' && arg[0] != '/')) continue;
        if (::strncasecmp(arg.c_str() + 1, name.data(), name.size()) == 0) return true;
    }
    return false;
}

bool FindSwitch(std::string_view name) { return FindSwitch(name, platform::ProcessArguments()); }

void InitializeSwitches(const std::vector<std::string>& arguments) {
    DebugMode = FindSwitch("DEBUG", arguments);
    ConsoleLevel = 1;
    if (DebugMode) ConsoleLevel = 3;
    if (FindSwitch("VERBOSE", arguments)) ConsoleLevel = 2;
}

void AcquireConsoleOutput() {
    std::lock_guard guard(Console().Lock);
    // Acquiring again puts a fresh output in place of the last.
    Console().Acquired.reset();
    Console().Acquired.emplace();
}

void ReleaseConsoleOutput() {
    std::lock_guard guard(Console().Lock);
    Console().Acquired.reset();
}

bool HasConsoleOutput() {
    std::lock_guard guard(Console().Lock);
    return platform::ConsoleOutput() != nullptr;
}

void SetConsoleTitle(std::string_view ansiTitle) {
    std::lock_guard guard(Console().Lock);
    if (platform::IConsoleOutput* output = platform::ConsoleOutput()) output->SetTitle(ansiTitle);
}

void ConsoleWrite(std::string_view text, bool highlighted, int level) {
    TConsoleState& console = Console();
    std::lock_guard guard(console.Lock);
    platform::IConsoleOutput* output = platform::ConsoleOutput();
    if (output == nullptr) return;
    if (highlighted) output->SetTextAttribute(HighlightAttribute);
    if (level <= ConsoleLevel) {
        std::string line(text);
        line += "\r\n";
        output->Write(line);
    }
    if (highlighted) output->SetTextAttribute(NormalAttribute);
}

}  // namespace keyrix
