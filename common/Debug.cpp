#include "common/Debug.h"

#include <chrono>

namespace keyrix {

void TDebugCriticalSection::Lock() {
    FMutex.lock();
    FOwner.store(std::this_thread::get_id());
    ++FDepth;
}

bool TDebugCriticalSection::TryLock() {
    if (!FMutex.try_lock()) return false;
    FOwner.store(std::this_thread::get_id());
    ++FDepth;
    return true;
}

void TDebugCriticalSection::Unlock() {
    if (!HeldByCurrentThread())
        throw EBugCheckError("TDebugCriticalSection.Unlock: the lock is not held by this thread");
    if (--FDepth == 0) FOwner.store(std::thread::id());
    FMutex.unlock();
}

std::uint32_t GetTickCount() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void NullIfEmpty(const std::string& text, TValue& parameter) {
    parameter = text.empty() ? TValue::Null() : TValue(text);
}

void NullIfEqual(std::int32_t value, std::int32_t sentinel, TValue& parameter) {
    parameter = value == sentinel ? TValue::Null() : TValue(value);
}

}  // namespace keyrix
