// Process-wide switches, the one console writer and the service log hooks.
#pragma once

#include "platform/ConsoleOutput.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// The DEBUG switch is present.
extern bool DebugMode;
// Console verbosity: a line of level L shows when L <= ConsoleLevel. 0 always shows,
// 1 normal, 2 verbose progress, 3 debug.
extern std::uint8_t ConsoleLevel;

// Some argument after the program's own name is "-" or "/" followed by the name,
// compared case-insensitively, with nothing after it.
bool FindSwitch(std::string_view name, const std::vector<std::string>& arguments);
// The same on the process's own command line.
bool FindSwitch(std::string_view name);

// Sets DebugMode and ConsoleLevel from the arguments: DEBUG gives 3, VERBOSE then 2.
void InitializeSwitches(const std::vector<std::string>& arguments);

// Console acquisition: from now on ConsoleWrite writes to the standard output (colours and
// UTF-8 on a terminal), until the release. A test puts its own output in place instead
// (platform::TScopedConsoleOutput).
void AcquireConsoleOutput();
void ReleaseConsoleOutput();
// Some console output is in place.
bool HasConsoleOutput();

inline constexpr std::uint16_t HighlightAttribute = 0x47;  // grey on red
inline constexpr std::uint16_t NormalAttribute = 0x07;

// One line (text and CR LF in one write) to the console, atomic with respect to every
// other ConsoleWrite; nothing is written while no console is acquired.
void ConsoleWrite(std::string_view text, bool highlighted, int level);

// Sets the console window's title (the terminal's, when it is one).
void SetConsoleTitle(std::string_view ansiTitle);

// A process-wide hook that forwards a text to the bound service's event log. Calling it
// while unbound does nothing. Bound once before any service thread starts.
class TServiceLogHook {
public:
    using TFunction = std::function<void(const std::string&)>;
    void Bind(TFunction function) { FFunction = std::move(function); }
    void Unbind() { FFunction = nullptr; }
    bool IsBound() const { return static_cast<bool>(FFunction); }
    void operator()(const std::string& text) const {
        if (FFunction) FFunction(text);
    }

private:
    TFunction FFunction;
};

extern TServiceLogHook ServiceLogInfo;
extern TServiceLogHook ServiceLogWarning;
extern TServiceLogHook ServiceLogError;

}  // namespace keyrix
