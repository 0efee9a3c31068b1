// What the fuzz targets share: reporting a finding so that libFuzzer keeps the input.
#pragma once

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

// A fixed generator seeded from the input, so that a saved input replays the same way.
class TSplitMix {
public:
    explicit TSplitMix(std::uint64_t seed) : FState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (FState += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(Next() % bound); }

private:
    std::uint64_t FState;
};

// FNV-1a of the bytes.
std::uint64_t Hash(std::string_view bytes);

}  // namespace keyrix::fuzz
