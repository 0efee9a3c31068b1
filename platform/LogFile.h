// Appending one line to a shared text file that only one writer may hold at a time.
#pragma once

#include <string>
#include <string_view>

namespace keyrix::platform {

// Creates the file when it is missing (never truncates it), opens it for writing while
// holding an exclusive, non-blocking lock (readers stay free), appends the bytes in one
// write and closes it. A line that cannot be written whole (a full disk) is cut off again,
// so the file keeps only whole lines. Raises EFCreateError ("Cannot create file ..."), EFOpenError
// ("Cannot open file ...", also when another writer holds the lock) or EWriteError.
void AppendToFileExclusive(const std::string& path, std::string_view bytes);

// The text given for a file that another writer holds locked.
inline constexpr const char* FileLockedText = "The file is locked by another writer.";

}  // namespace keyrix::platform
