// The console's output side: where ConsoleWrite sends its lines once a console is acquired.
#pragma once

#include "platform/Seam.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace keyrix::platform {

class IConsoleOutput {
public:
    virtual ~IConsoleOutput() = default;
    // Text attribute in the Windows console layout: low nibble foreground, high nibble
    // background, bits blue 1, green 2, red 4, intensity 8. 0x07 is the normal attribute.
    virtual void SetTextAttribute(std::uint16_t attribute) = 0;
    // Writes the 8-bit (ANSI) bytes in one piece.
    virtual void Write(std::string_view ansiText) = 0;
    // The window title, where the console has one.
    virtual void SetTitle(std::string_view) {}
};

// The ANSI escape sequence that selects a console attribute on a terminal; 0x07, the
// normal attribute, is the terminal's own default.
std::string AttributeEscapeSequence(std::uint16_t attribute);

// A file descriptor as the console: a terminal gets colours and UTF-8, a redirected
// output (file, pipe) gets the converted text and no escape sequences.
class TFdConsoleOutput : public IConsoleOutput {
public:
    explicit TFdConsoleOutput(int fd);
    void SetTextAttribute(std::uint16_t attribute) override;
    void Write(std::string_view ansiText) override;
    void SetTitle(std::string_view ansiTitle) override;  // OSC 0 on a terminal
    bool IsTerminal() const { return FIsTerminal; }

private:
    void WriteAll(std::string_view bytes);

    int FFd;
    bool FIsTerminal;
    std::uint16_t FAttribute = 0x07;
};

// The console output of the process: none (null) but while a console is acquired (the
// standard output, service/SvcConsole.h) or a test has its own in place
// (TScopedConsoleOutput). The console's writer uses it, and swaps it, under its own lock
// (the last case of the seam's contract in Seam.h), since the signal thread writes too.
IConsoleOutput* ConsoleOutput();
using TScopedConsoleOutput = TSeam<IConsoleOutput>::TScoped;

}  // namespace keyrix::platform
