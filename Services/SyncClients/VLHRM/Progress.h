// The status line of an import in a debug run on a terminal: records done, of how many when
// known, the rate and the time so far, redrawn in place and erased when the import ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace keyrix {

class TProgressLine {
public:
    // Shown only when enabled and the descriptor is a terminal; otherwise every call does
    // nothing, so that nothing of it reaches a file or a pipe.
    TProgressLine(std::string label, bool enabled, int fd);
    TProgressLine(const TProgressLine&) = delete;
    TProgressLine& operator=(const TProgressLine&) = delete;
    ~TProgressLine() { Erase(); }

    // Whether a debug run's console is a terminal: the condition of every progress line.
    static bool WantedOnStandardOutput();

    bool Shown() const { return FEnabled; }
    void SetTotal(std::int64_t total) { FTotal = total; }
    // Records done so far; the line is redrawn at most every RedrawInterval (the first
    // call draws at once).
    void Update(std::int64_t done);
    // Takes the line off the screen; the next Update draws it again. Called before any other
    // console line, and when the import ends.
    void Erase();

    static constexpr std::chrono::milliseconds RedrawInterval{100};

private:
    void Write(const std::string& bytes);

    std::string FLabel;
    bool FEnabled;
    int FFd;
    std::int64_t FTotal = -1;
    bool FDrawn = false, FEverDrawn = false;
    std::chrono::steady_clock::time_point FStart, FLastDraw;
};

}  // namespace keyrix
