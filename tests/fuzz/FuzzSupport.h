// What the fuzz targets share: reporting a finding so that libFuzzer keeps the input.
#pragma once

#include "tools/DemoXml.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace keyrix::fuzz {

// A finding: prints what broke and aborts, which libFuzzer takes as a crash and saves.
[[noreturn]] void Finding(const std::string& what);
// Called inside a catch block for an exception no outcome of the reader allows.
[[noreturn]] void UnexpectedException(std::string_view where);

inline void Check(bool condition, const char* what) {
    if (!condition) Finding(what);
}

// A fixed generator seeded from the input, so that a saved input replays the same way: the
// demo writers' one.
using TSplitMix = demo::TRandom;

// FNV-1a of the bytes.
std::uint64_t Hash(std::string_view bytes);

}  // namespace keyrix::fuzz
