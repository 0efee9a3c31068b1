// The command line of the demo tools and the benchmark: "--name value" pairs and flags.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace keyrix::demo {

// A command line the tool cannot use; the caller prints it with the usage text.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TToolOptions {
public:
    // --help prints the usage text and ends the process.
    TToolOptions(int argc, char** argv, const char* usage) : FArgc(argc), FArgv(argv) {
        for (int i = 1; i < argc; ++i) {
            const std::string_view argument = argv[i];
            if (argument == "--help" || argument == "-h") {
                std::fputs(usage, stdout);
                std::exit(0);
            }
        }
    }

    // Steps to the next option name.
    bool More() {
        if (FNext >= FArgc) return false;
        FName = FArgv[FNext++];
        return true;
    }
    bool Is(std::string_view name) const { return FName == name; }

    std::string Text() {
        if (FNext >= FArgc) throw TUsageError(std::string(FName) + " needs a value");
        return FArgv[FNext++];
    }
    std::uint64_t Number(std::uint64_t minimum, std::uint64_t maximum) {
        const std::string text = Text();
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value < minimum || value > maximum)
            throw TUsageError(std::string(FName) + " needs a whole number from " + std::to_string(minimum) + " to " +
                              std::to_string(maximum) + ", not \"" + text + "\"");
        return value;
    }
    [[noreturn]] void Unknown() const { throw TUsageError("unknown option " + std::string(FName)); }

private:
    int FArgc;
    char** FArgv;
    int FNext = 1;
    std::string_view FName;
};

}  // namespace keyrix::demo
