// The hive file's contents and their text form (regedit's export syntax), for
// platform/Registry.cpp. Names are kept as the file spells them (UTF-8); value data is kept
// as Windows keeps it, string types as UTF-16LE bytes, so that a load and save round trip
// leaves every value untouched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix::platform::hivefile {

inline constexpr std::string_view LocalMachineRoot = "HKEY_LOCAL_MACHINE";

struct THiveValue {
    std::string Name;  // "" is the default value ("@" in the file)
    std::uint32_t Type = 0;
    std::string Data;
};

struct THiveSection {
    std::string Root;  // "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", ... as spelt in the file
    std::string Path;  // below the root, parts separated by '\'; "" for the root itself
    std::vector<THiveValue> Values;
};

struct THiveDocument {
    std::vector<THiveSection> Sections;  // in file order
};

// Parses the bytes of a hive file (UTF-8 with or without BOM, UTF-16LE with BOM; CR LF or
// LF). A zero-length file is an empty hive. Raises EHiveFormatError
// "Registry file \"<filePath>\", line <n>: <what>".
THiveDocument ParseHive(std::string_view bytes, const std::string& filePath);

// The file form: version 5.00 header, UTF-8 without BOM, CR LF line ends.
std::string FormatHive(const THiveDocument& hive);

// Windows-1252 to and from the UTF-16LE of string data; what cannot be mapped becomes "?".
std::string AnsiToUtf16Le(std::string_view ansi);
std::string Utf16LeToAnsi(std::string_view utf16);

}  // namespace keyrix::platform::hivefile
