#include "platform/RegistryFile.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/Registry.h"


#include <algorithm>
#include <cerrno>

namespace keyrix::platform::hivefile {

namespace {

constexpr std::string_view HeaderVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view HeaderVersion4 = "REGEDIT4";
constexpr std::string_view RootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",     "HKEY_CLASSES_ROOT",
                                          "HKEY_USERS",         "HKEY_CURRENT_CONFIG",   "HKEY_PERFORMANCE_DATA",
                                          "HKEY_DYN_DATA"};
// regedit fills a hex line up to 77 columns before its closing "\".
constexpr std::size_t HexLineWidth = 77;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One to eight hex digits, as in "dword:" and "hex(N):".
bool ParseHexNumber(std::string_view digits, std::uint32_t& number) {
    if (digits.empty() || digits.size() > 8) return false;
    number = 0;
    for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

bool IsStringType(std::uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string Utf8ToUtf16Le(std::string_view utf8) {
    return TIconv("UTF-16LE", "UTF-8").ConvertReplacing(utf8, std::string_view("?\0", 2), [](std::string_view) {
        return std::size_t{1};
    });
}

std::size_t LineOf(std::string_view textBefore) {
    return 1 + static_cast<std::size_t>(std::count(textBefore.begin(), textBefore.end(), '\n'));
}

std::string FirstLine(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    return std::string(Trim(line));
}

class THiveParser {
public:
    explicit THiveParser(const std::string& filePath) : FFilePath(filePath) {}

    THiveDocument Parse(std::string_view bytes) {
        const std::string text = Decode(bytes);
        if (text.empty()) return {};
        SplitLines(text);
        const std::string header = FirstLine(text);
        if (header == HeaderVersion5)
            FAnsiStrings = false;
        else if (header == HeaderVersion4)
            FAnsiStrings = true;
        else
            Fail(1, Format("the header \"%s\" or \"%s\" is missing", HeaderVersion5, HeaderVersion4));

        for (FIndex = 1; FIndex < FLines.size(); ++FIndex) {
            std::string_view line = Trim(FLines[FIndex]);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[')
                ParseSection(line);
            else if (line.front() == '@' || line.front() == '"')
                ParseValue(line);
            else
                Fail("this is neither a key nor a value");
        }
        return std::move(FHive);
    }

private:
    [[noreturn]] void Fail(std::size_t line, const std::string& what) const {
        throw EHiveFormatError(Format("Registry file \"%s\", line %d: %s", FFilePath, line, what));
    }
    [[noreturn]] void Fail(const std::string& what) const { Fail(FIndex + 1, what); }

    // The file's text as UTF-8.
    std::string Decode(std::string_view bytes) const {
        if (bytes.starts_with("\xFF\xFE")) {
            bytes.remove_prefix(2);
            std::string text;
            if (TIconv("UTF-8", "UTF-16LE").Convert(bytes, text) < bytes.size())
                Fail(LineOf(text), "the text is not valid UTF-16");
            return text;
        }
        const bool bom = bytes.starts_with("\xEF\xBB\xBF");
        if (bom) bytes.remove_prefix(3);
        std::string ignored;
        std::size_t valid = TIconv("UTF-16LE", "UTF-8").Convert(bytes, ignored);
        if (valid == bytes.size()) return std::string(bytes);
        // regedit writes REGEDIT4 files in the ANSI code page.
        if (!bom && FirstLine(bytes) == HeaderVersion4) return AnsiToUtf8(bytes);
        Fail(LineOf(bytes.substr(0, valid)), "the text is not valid UTF-8");
    }

    void SplitLines(std::string_view text) {
        std::size_t start = 0;
        while (start < text.size()) {  // the end of the last line is no line of its own
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(start, end - start);
            if (line.ends_with('\r')) line.remove_suffix(1);
            FLines.push_back(line);
            start = end + 1;
        }
    }

    void ParseSection(std::string_view line) {
        if (line.back() != ']') Fail("the key name does not end with \"]\"");
        std::string_view name = line.substr(1, line.size() - 2);
        if (name.starts_with('-')) Fail("deleting keys is not supported");
        const std::size_t slash = name.find('\\');
        const std::string_view root = name.substr(0, slash);
        if (std::none_of(std::begin(RootNames), std::end(RootNames),
                         [&](std::string_view known) { return SameText(root, known); }))
            Fail(Format("unknown root key \"%s\"", root));
        std::string_view path;
        if (slash != std::string_view::npos) {
            path = name.substr(slash + 1);
            while (path.ends_with('\\')) path.remove_suffix(1);  // "[...\Key\]" names the key
            if (path.starts_with('\\') || path.find("\\\\") != std::string_view::npos)
                Fail("the key name has an empty part");
        }
        // A key listed twice is one key, as regedit imports it.
        auto& sections = FHive.Sections;
        auto same = std::find_if(sections.begin(), sections.end(), [&](const THiveSection& section) {
            return SameText(section.Root, root) && SameText(section.Path, path);
        });
        if (same == sections.end())
            same = sections.insert(sections.end(), THiveSection{std::string(root), std::string(path), {}});
        FSection = static_cast<std::size_t>(same - sections.begin());
        FHaveSection = true;
    }

    void ParseValue(std::string_view line) {
        if (!FHaveSection) Fail("the value stands before any key");
        THiveValue value;
        std::size_t pos = 0;
        if (line.front() == '"')
            value.Name = ParseQuoted(line, pos);
        else
            pos = 1;  // "@", the default value
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') Fail("\"=\" is missing after the value name");
        std::string_view data = TrimLeft(line.substr(pos + 1));

        if (data.starts_with('-')) Fail("deleting values is not supported");
        if (data.starts_with('"')) {
            std::size_t end = 0;
            std::string text = ParseQuoted(data, end);
            if (!Trim(data.substr(end)).empty()) Fail("unexpected text after the value");
            value.Type = REG_SZ;
            value.Data = Utf8ToUtf16Le(text);
            value.Data.append(2, '\0');
        } else if (StartsWithNoCase(data, "dword:")) {
            std::string_view digits = Trim(data.substr(6));
            std::uint32_t number = 0;
            if (!ParseHexNumber(digits, number)) Fail(Format("invalid dword value \"%s\"", digits));
            value.Type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8) value.Data += static_cast<char>(number >> shift & 0xFF);
        } else if (StartsWithNoCase(data, "hex")) {
            std::string_view rest = data.substr(3);
            value.Type = REG_BINARY;
            if (rest.starts_with('(')) {
                std::size_t close = rest.find(')');
                if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), value.Type))
                    Fail("invalid value type in \"hex(...)\"");
                rest.remove_prefix(close + 1);
            }
            if (!rest.starts_with(':')) Fail("\":\" is missing after \"hex\"");
            value.Data = ParseHexBytes(rest.substr(1));
            // In REGEDIT4 files string data is in the ANSI code page.
            if (FAnsiStrings && IsStringType(value.Type)) value.Data = AnsiToUtf16Le(value.Data);
        } else {
            Fail("unknown value type");
        }

        // A value listed twice keeps its place and takes the later data, as regedit imports it.
        auto& values = FHive.Sections[FSection].Values;
        auto same = std::find_if(values.begin(), values.end(),
                                 [&](const THiveValue& known) { return SameText(known.Name, value.Name); });
        if (same == values.end()) {
            values.push_back(std::move(value));
        } else {
            same->Type = value.Type;
            same->Data = std::move(value.Data);
        }
    }

    // The text of the quoted string at line[pos]; pos moves past its closing quote.
    std::string ParseQuoted(std::string_view line, std::size_t& pos) const {
        std::string text;
        for (std::size_t i = pos + 1; i < line.size(); ++i) {
            char c = line[i];
            if (c == '"') {
                pos = i + 1;
                return text;
            }
            if (c == '\\') {
                if (i + 1 >= line.size()) break;
                char next = line[++i];
                if (next != '\\' && next != '"') Fail(Format("invalid escape sequence \"\\%c\"", next));
                c = next;
            }
            text += c;
        }
        Fail("the closing quote is missing");
    }

    // Comma-separated hex bytes; a line ending with "\" goes on in the next one.
    std::string ParseHexBytes(std::string_view fragment) {
        std::string bytes;
        for (;;) {
            fragment = TrimRight(fragment);
            const bool continued = fragment.ends_with('\\');
            if (continued) fragment = TrimRight(fragment.substr(0, fragment.size() - 1));
            std::size_t start = 0;
            for (;;) {
                const std::size_t comma = fragment.find(',', start);
                const bool last = comma == std::string_view::npos;
                std::string_view token = Trim(fragment.substr(start, last ? std::string_view::npos : comma - start));
                if (token.empty()) {
                    if (!last) Fail("a hex byte is missing");
                    break;  // nothing, or a comma before the end of the line
                }
                int high = HexDigit(token[0]), low = token.size() == 2 ? HexDigit(token[1]) : 0;
                if (token.size() > 2 || high < 0 || low < 0) Fail(Format("invalid hex byte \"%s\"", token));
                bytes += static_cast<char>(token.size() == 2 ? high << 4 | low : high);
                if (last) break;
                start = comma + 1;
            }
            if (!continued) return bytes;
            if (FIndex + 1 >= FLines.size()) Fail("the value goes on past the end of the file");
            fragment = TrimLeft(FLines[++FIndex]);
        }
    }

    const std::string& FFilePath;
    std::vector<std::string_view> FLines;
    std::size_t FIndex = 0;
    bool FAnsiStrings = false;
    THiveDocument FHive;
    std::size_t FSection = 0;
    bool FHaveSection = false;
};

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted += '"';
}

// The UTF-8 text of REG_SZ data that the quoted form carries unchanged: one terminating
// NUL, no other NUL, no line break, and valid UTF-16.
bool PlainText(std::string_view data, std::string& text) {
    if (data.size() < 2 || data.size() % 2 != 0 || data.substr(data.size() - 2) != std::string_view("\0\0", 2))
        return false;
    data.remove_suffix(2);
    if (TIconv("UTF-8", "UTF-16LE").Convert(data, text) < data.size()) return false;
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

void AppendValue(std::string& out, const THiveValue& value) {
    std::string line = value.Name.empty() ? "@" : Quoted(value.Name);
    line += '=';
    std::string text;
    if (value.Type == REG_SZ && PlainText(value.Data, text)) {
        out += line + Quoted(text) + "\r\n";
        return;
    }
    if (value.Type == REG_DWORD && value.Data.size() == 4) {
        std::uint32_t number = 0;
        for (std::size_t i = 4; i-- > 0;) number = number << 8 | static_cast<unsigned char>(value.Data[i]);
        out += line + Format("dword:%08x", number) + "\r\n";
        return;
    }
    line += value.Type == REG_BINARY ? std::string("hex:") : Format("hex(%x):", value.Type);
    for (std::size_t i = 0; i < value.Data.size(); ++i) {
        if (line.size() + 3 > HexLineWidth) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += Format("%02x", static_cast<unsigned char>(value.Data[i]));
        if (i + 1 < value.Data.size()) line += ',';
    }
    out += line + "\r\n";
}

}  // namespace

THiveDocument ParseHive(std::string_view bytes, const std::string& filePath) {
    return THiveParser(filePath).Parse(bytes);
}

std::string FormatHive(const THiveDocument& hive) {
    std::string out(HeaderVersion5);
    out += "\r\n\r\n";
    for (const THiveSection& section : hive.Sections) {
        out += '[' + section.Root;
        if (!section.Path.empty()) out += '\\' + section.Path;
        out += "]\r\n";
        for (const THiveValue& value : section.Values) AppendValue(out, value);
        out += "\r\n";
    }
    return out;
}

std::string AnsiToUtf16Le(std::string_view ansi) {
    return TIconv("UTF-16LE", "CP1252").ConvertReplacing(ansi, std::string_view("?\0", 2), [](std::string_view) {
        return std::size_t{1};
    });
}

std::string Utf16LeToAnsi(std::string_view utf16) {
    return TIconv("CP1252", "UTF-16LE").ConvertReplacing(utf16, "?", [](std::string_view rest) {
        // A surrogate pair is one character and gets one "?".
        auto unit = [&](std::size_t i) {
            return static_cast<unsigned char>(rest[i]) | static_cast<unsigned>(static_cast<unsigned char>(rest[i + 1])) << 8;
        };
        if (rest.size() >= 4 && unit(0) >= 0xD800 && unit(0) < 0xDC00 && unit(2) >= 0xDC00 && unit(2) < 0xE000)
            return std::size_t{4};
        return std::size_t{2};
    });
}

}  // namespace keyrix::platform::hivefile
