// The trace of a run's client calls: what the database layer asked of the Firebird client
// library, call by call, with the handles as the library gave them out, the statement
// texts, the bound values and what each call answered. TClientCallCounter writes it while
// the run goes on; ReplayTrace makes the same calls again against another database.
//
// A file of records, each a fixed header and a payload, written through a buffer so that a
// long pass costs the run a copy of a few bytes per call and no memory that grows with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace keyrix::bench {

enum class TCallKind : std::uint8_t {
    Attach, Detach, Start, Commit, Rollback, Allocate, Prepare, Describe, DescribeBind,
    Execute, Execute2, Immediate, Fetch, Free, Info, BlobOpen, BlobSegment, BlobClose,
    Mark,  // not a call: where the bench starts and stops its clock
    Count
};

const char* CallKindName(TCallKind kind);

enum class TTraceMark : std::uint32_t { Begin = 1, End = 2 };
// What a pair of marks times: the whole pass, or one import in it.
enum class TTraceSegment : std::uint32_t { Pass, Hrm, CardHolders, Count };

#pragma pack(push, 1)
struct TTraceHeader {
    TCallKind Kind;
    std::uint8_t Failed;   // the call put an error in its status vector
    std::uint16_t Small;   // dialect, free option
    std::uint32_t A, B, C; // handles and the call's own numbers (see TClientCallCounter)
    std::uint32_t Size;    // payload bytes that follow
};
#pragma pack(pop)

// The payload of an execution is its input values: a 16-bit count, then for each value this
// header and the bytes the client reads (none for NULL).
#pragma pack(push, 1)
struct TTraceValue {
    std::int16_t Type, Scale, SubType, Length, Indicator;
    std::uint32_t Size;
};
#pragma pack(pop)

class TTraceWriter {
public:
    // Raises std::runtime_error when the file cannot be created.
    explicit TTraceWriter(const std::string& path);
    TTraceWriter(const TTraceWriter&) = delete;
    TTraceWriter& operator=(const TTraceWriter&) = delete;
    ~TTraceWriter();

    void Write(const TTraceHeader& header, const void* payload, std::size_t size);
    // Hands every whole record written so far to the file, for a reader that follows.
    void Flush();
    // Raises std::runtime_error naming the file when a write failed.
    void Close();

private:
    std::string FPath;
    std::FILE* FFile = nullptr;
    std::vector<char> FBuffer;
    bool FFailed = false;
};

class TTraceReader {
public:
    explicit TTraceReader(const std::string& path);
    TTraceReader(const TTraceReader&) = delete;
    TTraceReader& operator=(const TTraceReader&) = delete;
    ~TTraceReader();

    // The next record; false at the end. A record cut at the end raises std::runtime_error,
    // unless the writer may still be at work (follow): then it is read again next time.
    bool Next(TTraceHeader& header, std::string& payload, bool follow = false);
    std::uint64_t Position() const { return FRecords; }

private:
    std::string FPath;
    std::FILE* FFile = nullptr;
    std::vector<char> FBuffer;
    std::uint64_t FRecords = 0;
};

}  // namespace keyrix::bench
