#include "bench/ClientTrace.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace keyrix::bench {

namespace {

constexpr std::size_t BufferSize = 1 << 20;

// The trace file with a large buffer of its own: a pass writes millions of small records.
std::FILE* OpenBuffered(const std::string& path, const char* mode, std::vector<char>& buffer, const char* verb) {
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (file == nullptr)
        throw std::runtime_error(std::string("cannot ") + verb + " the trace " + path + ": " + std::strerror(errno));
    buffer.resize(BufferSize);
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    return file;
}

}  // namespace

const char* CallKindName(TCallKind kind) {
    static const char* const Names[] = {"attach", "detach", "start transaction", "commit", "rollback",
                                        "allocate statement", "prepare", "describe", "describe bind",
                                        "execute", "execute2", "execute immediate", "fetch", "free statement",
                                        "statement info", "open blob", "get segment", "close blob", "mark"};
    static_assert(sizeof Names / sizeof Names[0] == static_cast<std::size_t>(TCallKind::Count));
    return Names[static_cast<std::size_t>(kind)];
}

TTraceWriter::TTraceWriter(const std::string& path) : FPath(path) {
    FFile = OpenBuffered(path, "wb", FBuffer, "create");
}

TTraceWriter::~TTraceWriter() {
    if (FFile != nullptr) std::fclose(FFile);
}

void TTraceWriter::Write(const TTraceHeader& header, const void* payload, std::size_t size) {
    if (FFile == nullptr) return;
    if (::fwrite_unlocked(&header, sizeof header, 1, FFile) != 1) FFailed = true;
    if (size > 0 && ::fwrite_unlocked(payload, size, 1, FFile) != 1) FFailed = true;
}

void TTraceWriter::Flush() {
    if (FFile != nullptr && std::fflush(FFile) != 0) FFailed = true;
}

void TTraceWriter::Close() {
    if (FFile == nullptr) return;
    const bool closed = std::fclose(FFile) == 0;
    FFile = nullptr;
    if (FFailed || !closed) throw std::runtime_error("cannot write the trace " + FPath + ": " + std::strerror(errno));
}

TTraceReader::TTraceReader(const std::string& path) : FPath(path) {
    FFile = OpenBuffered(path, "rb", FBuffer, "open");
}

TTraceReader::~TTraceReader() {
    if (FFile != nullptr) std::fclose(FFile);
}

bool TTraceReader::Next(TTraceHeader& header, std::string& payload, bool follow) {
    const long start = std::ftell(FFile);
    const std::size_t got = ::fread_unlocked(&header, 1, sizeof header, FFile);
    bool whole = got == sizeof header;
    if (whole) {
        payload.resize(header.Size);
        whole = header.Size == 0 || ::fread_unlocked(payload.data(), header.Size, 1, FFile) == 1;
    }
    if (whole) {
        ++FRecords;
        return true;
    }
    if (got != 0 && !follow) throw std::runtime_error("the trace " + FPath + " ends inside a record");
    // Read again from the record's start once the writer has gone on.
    std::clearerr(FFile);
    std::fseek(FFile, start, SEEK_SET);
    return false;
}

}  // namespace keyrix::bench
