#include "bench/ClientTrace.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace keyrix::bench {

namespace {

constexpr std::size_t BufferSize = 1 << 20;

}  // namespace

const char* CallKindName(TCallKind kind) {
    static const char* const Names[] = {"attach", "detach", "start transaction", "commit", "rollback",
                                        "allocate statement", "prepare", "describe", "describe bind",
                                        "execute", "execute2", "execute immediate", "fetch", "free statement",
                                        "statement info", "open blob", "get segment", "close blob", "mark"};
    static_assert(sizeof Names / sizeof Names[0] == static_cast<std::size_t>(TCallKind::Count));
    return Names[static_cast<std::size_t>(kind)];
}

TTraceWriter::TTraceWriter(const std::string& path) : FPath(path), FBuffer(BufferSize) {
    FFile = std::fopen(path.c_str(), "wb");
    if (FFile == nullptr) throw std::runtime_error("cannot create the trace " + path + ": " + std::strerror(errno));
    std::setvbuf(FFile, FBuffer.data(), _IOFBF, FBuffer.size());
}

TTraceWriter::~TTraceWriter() {
    if (FFile != nullptr) std::fclose(FFile);
}

void TTraceWriter::Write(const TTraceHeader& header, const void* payload, std::size_t size) {
    if (FFile == nullptr) return;
    if (::fwrite_unlocked(&header, sizeof header, 1, FFile) != 1) FFailed = true;
    if (size > 0 && ::fwrite_unlocked(payload, size, 1, FFile) != 1) FFailed = true;
    ++FRecords;
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

TTraceReader::TTraceReader(const std::string& path) : FPath(path), FBuffer(BufferSize) {
    FFile = std::fopen(path.c_str(), "rb");
    if (FFile == nullptr) throw std::runtime_error("cannot open the trace " + path + ": " + std::strerror(errno));
    std::setvbuf(FFile, FBuffer.data(), _IOFBF, FBuffer.size());
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
