#include "db/DBUtils.h"

#include <memory>

namespace keyrix::dbutils {

namespace {
std::unique_ptr<TDebugCriticalSection> TheDatabaseLock;
}

void InitializeDatabaseLayer() {
    if (!TheDatabaseLock) TheDatabaseLock = std::make_unique<TDebugCriticalSection>();
}

void FinalizeDatabaseLayer() { TheDatabaseLock.reset(); }

TDebugCriticalSection& DatabaseLock() {
    if (!TheDatabaseLock) throw EBugCheckError("DatabaseLock used outside the life of the database layer");
    return *TheDatabaseLock;
}

}  // namespace keyrix::dbutils
