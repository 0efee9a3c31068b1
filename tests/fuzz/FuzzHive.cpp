// The hive parser on arbitrary files, as the registry parses a hive on load: a format error
// (EHiveFormatError naming the file) is the outcome for a file that is not a hive. What it
// parses must survive the registry's write: formatted and parsed again it gives the same
// document, and formatting that gives the same bytes again.
#include "platform/Registry.h"
#include "platform/RegistryFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <string>
#include <string_view>

using namespace keyrix;
using namespace keyrix::platform::hivefile;
using keyrix::fuzz::Check;

namespace {

const std::string FilePath = "/etc/keyrix/hive.reg";

bool Same(const THiveDocument& a, const THiveDocument& b, std::string& difference) {
    if (a.Sections.size() != b.Sections.size()) {
        difference = "section count " + std::to_string(a.Sections.size()) + " became " +
                     std::to_string(b.Sections.size());
        return false;
    }
    for (std::size_t s = 0; s < a.Sections.size(); ++s) {
        const THiveSection &x = a.Sections[s], &y = b.Sections[s];
        if (x.Root != y.Root || x.Path != y.Path) {
            difference = "key \"" + x.Root + "\\" + x.Path + "\" became \"" + y.Root + "\\" + y.Path + "\"";
            return false;
        }
        if (x.Values.size() != y.Values.size()) {
            difference = "value count of \"" + x.Path + "\" changed";
            return false;
        }
        for (std::size_t v = 0; v < x.Values.size(); ++v) {
            const THiveValue &p = x.Values[v], &q = y.Values[v];
            if (p.Name != q.Name || p.Type != q.Type || p.Data != q.Data) {
                difference = "value \"" + p.Name + "\" of \"" + x.Path + "\" changed (type " +
                             std::to_string(p.Type) + " became " + std::to_string(q.Type) + ", " +
                             std::to_string(p.Data.size()) + " data bytes became " + std::to_string(q.Data.size()) + ")";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    THiveDocument parsed;
    try {
        parsed = ParseHive(bytes, FilePath);
    } catch (const platform::EHiveFormatError& error) {
        Check(std::string_view(error.what()).starts_with("Registry file \"" + FilePath + "\", line "),
              "EHiveFormatError does not name the file and line");
        return 0;
    } catch (...) {
        fuzz::UnexpectedException("parse");
    }
    try {
        const std::string written = FormatHive(parsed);
        const THiveDocument again = ParseHive(written, FilePath);
        std::string difference;
        if (!Same(parsed, again, difference)) fuzz::Finding("the round trip changed the hive: " + difference);
        Check(FormatHive(again) == written, "formatting the reparsed hive gives other bytes");
    } catch (...) {
        fuzz::UnexpectedException("the written hive");
    }
    return 0;
}
