// An in-memory byte stream; the download returns the feed body in one.
//
// Capacity rule: a requested capacity is rounded up to a multiple of MemoryDelta, except
// that a request equal to the current size is taken as it stands (so Capacity = Size trims
// the buffer). Writes past the capacity grow it geometrically, so appending a body in many
// small pieces costs time linear in its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace keyrix {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TKeyrixMemoryStream {
public:
    static constexpr std::size_t MemoryDelta = 8192;

    TKeyrixMemoryStream() = default;
    TKeyrixMemoryStream(const TKeyrixMemoryStream&) = delete;
    TKeyrixMemoryStream& operator=(const TKeyrixMemoryStream&) = delete;
    TKeyrixMemoryStream(TKeyrixMemoryStream&&) noexcept;
    TKeyrixMemoryStream& operator=(TKeyrixMemoryStream&&) noexcept;
    ~TKeyrixMemoryStream() = default;

    // Writes at the position, growing the stream as needed; answers the bytes written.
    std::size_t Write(const void* buffer, std::size_t count);
    void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
    // Reads from the position; answers the bytes read (fewer at the end).
    std::size_t Read(void* buffer, std::size_t count);
    // Moves the position; a target before the start raises EStreamError.
    std::size_t Seek(std::int64_t offset, TSeekOrigin origin);

    std::size_t Position() const { return FPosition; }
    void SetPosition(std::size_t position) { FPosition = position; }
    std::size_t Size() const { return FSize; }
    void SetSize(std::size_t size);
    std::size_t Capacity() const { return FCapacity; }
    void SetCapacity(std::size_t capacity);
    void Clear();

    const char* Memory() const { return FMemory.get(); }
    std::string_view View() const { return {FMemory.get(), FSize}; }

private:
    struct TFree {
        void operator()(char* p) const { std::free(p); }
    };

    // Applies the capacity rule and reallocates; raises when the memory cannot be had.
    void Realloc(std::size_t requested);

    std::unique_ptr<char, TFree> FMemory;
    std::size_t FSize = 0;
    std::size_t FPosition = 0;
    std::size_t FCapacity = 0;
};

}  // namespace keyrix
