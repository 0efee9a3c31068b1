#include "Services/SyncClients/VLHRM/Progress.h"

#include "common/Format.h"
#include "platform/PosixFiles.h"
#include "service/SvcConsole.h"

#include <unistd.h>

namespace keyrix {

TProgressLine::TProgressLine(std::string label, bool enabled, int fd)
    : FLabel(std::move(label)), FEnabled(enabled && ::isatty(fd) == 1), FFd(fd),
      FStart(std::chrono::steady_clock::now()) {}

bool TProgressLine::WantedOnStandardOutput() {
    return DebugMode && HasConsoleOutput() && ConsoleLevel >= 1 && ::isatty(STDOUT_FILENO) == 1;
}

void TProgressLine::Update(std::int64_t done) {
    if (!FEnabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (FEverDrawn && now - FLastDraw < RedrawInterval) return;
    const double seconds = std::chrono::duration<double>(now - FStart).count();
    const auto rate = static_cast<std::int64_t>(seconds > 0.001 ? static_cast<double>(done) / seconds : 0.0);
    std::string text = FLabel + ": " + std::to_string(done);
    if (FTotal >= 0) text += " of " + std::to_string(FTotal);
    text += Format(" records, %d/s, %d s", rate, static_cast<std::int64_t>(seconds));
    // Carriage return, the text, then clear what a longer line left to its right.
    Write("\r" + text + "\x1b[K");
    FDrawn = FEverDrawn = true;
    FLastDraw = now;
}

void TProgressLine::Erase() {
    if (!FDrawn) return;
    Write("\r\x1b[K");
    FDrawn = false;
}

void TProgressLine::Write(const std::string& bytes) {
    // Best effort, as every console write: a terminal that went away ends nothing.
    platform::WriteAll(FFd, bytes);
}

}  // namespace keyrix
