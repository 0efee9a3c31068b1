#include "bench/ClientTrace.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace keyrix::bench {

namespace {

constexpr std::size_t BufferSize = 1 << 20;

template <class T>
void Put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
T Take(const std::string& in, std::size_t& at) {
    T value{};
    if (at + sizeof value > in.size()) throw std::runtime_error("trace: an execution's values are cut");
    std::memcpy(&value, in.data() + at, sizeof value);
    at += sizeof value;
    return value;
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

std::string EncodeValues(const std::vector<TTraceValue>& values) {
    std::string out;
    Put<std::uint16_t>(out, static_cast<std::uint16_t>(values.size()));
    for (const TTraceValue& v : values) {
        Put(out, v.Type);
        Put(out, v.Scale);
        Put(out, v.SubType);
        Put(out, v.Length);
        Put(out, v.Indicator);
        Put<std::uint32_t>(out, static_cast<std::uint32_t>(v.Data.size()));
        out += v.Data;
    }
    return out;
}

std::vector<TTraceValue> DecodeValues(const std::string& payload) {
    std::size_t at = 0;
    std::vector<TTraceValue> values(Take<std::uint16_t>(payload, at));
    for (TTraceValue& v : values) {
        v.Type = Take<std::int16_t>(payload, at);
        v.Scale = Take<std::int16_t>(payload, at);
        v.SubType = Take<std::int16_t>(payload, at);
        v.Length = Take<std::int16_t>(payload, at);
        v.Indicator = Take<std::int16_t>(payload, at);
        const auto size = Take<std::uint32_t>(payload, at);
        if (at + size > payload.size()) throw std::runtime_error("trace: a bound value is cut");
        v.Data.assign(payload, at, size);
        at += size;
    }
    return values;
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
    if (std::fwrite(&header, sizeof header, 1, FFile) != 1) FFailed = true;
    if (size > 0 && std::fwrite(payload, size, 1, FFile) != 1) FFailed = true;
    ++FRecords;
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

bool TTraceReader::Next(TTraceHeader& header, std::string& payload) {
    const std::size_t got = std::fread(&header, 1, sizeof header, FFile);
    if (got == 0 && std::feof(FFile)) return false;
    if (got != sizeof header) throw std::runtime_error("the trace " + FPath + " ends inside a record");
    payload.resize(header.Size);
    if (header.Size > 0 && std::fread(payload.data(), header.Size, 1, FFile) != 1)
        throw std::runtime_error("the trace " + FPath + " ends inside a record");
    ++FRecords;
    return true;
}

}  // namespace keyrix::bench
