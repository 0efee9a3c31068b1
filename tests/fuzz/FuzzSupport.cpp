#include "tests/fuzz/FuzzSupport.h"

#include "common/Exceptions.h"

#include <cstdio>
#include <cstdlib>

namespace keyrix::fuzz {

void Finding(const std::string& what) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void UnexpectedException(std::string_view where) {
    const TErrorInfo error = DescribeCurrentException();
    Finding(std::string(where) + ": unexpected " + error.ClassName + ": " + error.Message);
}

std::uint64_t Hash(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}

}  // namespace keyrix::fuzz
