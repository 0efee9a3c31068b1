#include "platform/ConsoleOutput.h"

#include "platform/CodePage.h"
#include "platform/PosixFiles.h"

#include <unistd.h>


namespace keyrix::platform {

namespace {
// Windows colour bits (blue 1, green 2, red 4) to the ANSI colour index (red 1, green 2, blue 4).
int AnsiColour(unsigned windowsColour) {
    return ((windowsColour & 1) ? 4 : 0) | (windowsColour & 2) | ((windowsColour & 4) ? 1 : 0);
}
}  // namespace

IConsoleOutput* ConsoleOutput() { return TSeam<IConsoleOutput>::Find(); }

std::string AttributeEscapeSequence(std::uint16_t attribute) {
    if ((attribute & 0xFF) == 0x07) return "\x1b[0m";
    const unsigned fg = attribute & 0x0F;
    const unsigned bg = (attribute >> 4) & 0x0F;
    const int fgCode = ((fg & 8) ? 90 : 30) + AnsiColour(fg);
    const int bgCode = ((bg & 8) ? 100 : 40) + AnsiColour(bg);
    return "\x1b[0;" + std::to_string(fgCode) + ";" + std::to_string(bgCode) + "m";
}

TFdConsoleOutput::TFdConsoleOutput(int fd) : FFd(fd), FIsTerminal(::isatty(fd) == 1) {}

void TFdConsoleOutput::SetTextAttribute(std::uint16_t attribute) {
    if (!FIsTerminal || attribute == FAttribute) return;
    FAttribute = attribute;
    WriteAll(AttributeEscapeSequence(attribute));
}

void TFdConsoleOutput::Write(std::string_view ansiText) { WriteAll(AnsiToUtf8(ansiText)); }

void TFdConsoleOutput::SetTitle(std::string_view ansiTitle) {
    if (!FIsTerminal) return;
    std::string title = AnsiToUtf8(ansiTitle);
    // Control characters would end the sequence early.
    for (char& c : title)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    WriteAll("\x1b]0;" + title + "\x07");
}

void TFdConsoleOutput::WriteAll(std::string_view bytes) {
    // A console line is best effort: a closed or full output must not stop the service.
    (void)platform::WriteAll(FFd, bytes);
}

}  // namespace keyrix::platform
