// The way into the Keyrix database for the whole process.
#pragma once

#include "common/Debug.h"

namespace keyrix::dbutils {

// Creates the process-wide database lock; called once at process start.
void InitializeDatabaseLayer();
// Destroys it again at process end.
void FinalizeDatabaseLayer();

// The recursive lock that serialises all database work. Raises EBugCheckError outside
// the life of the database layer.
TDebugCriticalSection& DatabaseLock();

}  // namespace keyrix::dbutils
