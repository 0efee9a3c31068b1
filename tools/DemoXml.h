// What the demo's document writers share: a seeded generator that gives the same numbers
// on every platform, and the writing of one XML field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace keyrix::demo {

// splitmix64: a fixed generator, so that a seed gives the same document on every platform
// (the standard distributions are not specified bit for bit).
class TRandom {
public:
    explicit TRandom(std::uint64_t seed) : FState(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (FState += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform enough in [0, bound) for made-up data.
    std::size_t Below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(Next() % bound); }
    std::size_t Between(std::size_t low, std::size_t high) { return low + Below(high - low + 1); }
    template <class T, std::size_t N>
    const T& Pick(const std::array<T, N>& items) {
        return items[Below(N)];
    }

private:
    std::uint64_t FState;
};

inline std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// One field of a record, on a line of its own; an empty text gives an empty-element tag.
inline void Element(std::ostream& out, std::string_view name, std::string_view text) {
    out << "    <" << name;
    if (text.empty()) {
        out << " />\n";
        return;
    }
    out << '>' << Escaped(text) << "</" << name << ">\n";
}

}  // namespace keyrix::demo
