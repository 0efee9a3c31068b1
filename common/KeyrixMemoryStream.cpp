#include "common/KeyrixMemoryStream.h"

#include "common/Exceptions.h"

#include <cstring>
#include <limits>
#include <utility>

namespace keyrix {

namespace {
[[noreturn]] void OutOfMemory() { throw EStreamError("Out of memory while expanding memory stream"); }
}  // namespace

TKeyrixMemoryStream::TKeyrixMemoryStream(TKeyrixMemoryStream&& other) noexcept
    : FMemory(std::move(other.FMemory)),
      FSize(std::exchange(other.FSize, 0)),
      FPosition(std::exchange(other.FPosition, 0)),
      FCapacity(std::exchange(other.FCapacity, 0)) {}

TKeyrixMemoryStream& TKeyrixMemoryStream::operator=(TKeyrixMemoryStream&& other) noexcept {
    FMemory = std::move(other.FMemory);
    FSize = std::exchange(other.FSize, 0);
    FPosition = std::exchange(other.FPosition, 0);
    FCapacity = std::exchange(other.FCapacity, 0);
    return *this;
}

void TKeyrixMemoryStream::Realloc(std::size_t requested) {
    std::size_t capacity = requested;
    if (capacity > 0 && capacity != FSize) {
        if (capacity > std::numeric_limits<std::size_t>::max() - (MemoryDelta - 1)) OutOfMemory();
        capacity = (capacity + MemoryDelta - 1) & ~(MemoryDelta - 1);
    }
    if (capacity == FCapacity) return;
    if (capacity == 0) {
        FMemory.reset();
    } else {
        // realloc keeps the old block when it fails, so nothing is lost on the error path.
        char* grown = static_cast<char*>(std::realloc(FMemory.get(), capacity));
        if (grown == nullptr) OutOfMemory();
        (void)FMemory.release();
        FMemory.reset(grown);
    }
    FCapacity = capacity;
}

void TKeyrixMemoryStream::SetCapacity(std::size_t capacity) {
    Realloc(capacity);
    // A capacity below the size cuts the content: nothing may point past the buffer.
    if (FSize > FCapacity) FSize = FCapacity;
}

void TKeyrixMemoryStream::SetSize(std::size_t size) {
    Realloc(size);
    FSize = size;
    if (FPosition > size) FPosition = size;
}

void TKeyrixMemoryStream::Clear() {
    Realloc(0);
    FSize = 0;
    FPosition = 0;
}

std::size_t TKeyrixMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    if (count > std::numeric_limits<std::size_t>::max() - FPosition) OutOfMemory();
    const std::size_t end = FPosition + count;
    if (end > FCapacity) {
        // Grow by half again at least; fall back to the exact need if that much is not there.
        const std::size_t generous = FCapacity + FCapacity / 2;
        if (generous > end) {
            try {
                Realloc(generous);
            } catch (const EStreamError&) {
                Realloc(end);
            }
        } else {
            Realloc(end);
        }
    }
    if (FPosition > FSize) std::memset(FMemory.get() + FSize, 0, FPosition - FSize);
    std::memcpy(FMemory.get() + FPosition, buffer, count);
    FPosition = end;
    if (end > FSize) FSize = end;
    return count;
}

std::size_t TKeyrixMemoryStream::Read(void* buffer, std::size_t count) {
    if (FPosition >= FSize) return 0;
    const std::size_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FMemory.get() + FPosition, n);
    FPosition += n;
    return n;
}

std::size_t TKeyrixMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
        case TSeekOrigin::soBeginning: base = 0; break;
        case TSeekOrigin::soCurrent: base = static_cast<std::int64_t>(FPosition); break;
        case TSeekOrigin::soEnd: base = static_cast<std::int64_t>(FSize); break;
    }
    const std::int64_t target = base + offset;
    if (target < 0) throw EStreamError("Seek before the start of the memory stream");
    FPosition = static_cast<std::size_t>(target);
    return FPosition;
}

}  // namespace keyrix
