// A file opened for reading that writers must leave alone while it is read: a shared,
// non-blocking flock on it, held until the object goes. A writer that holds an exclusive
// flock makes the open fail at once as "locked" rather than letting the reader take a
// half-written export.
#pragma once

#include "common/Exceptions.h"
#include "platform/FileHandles.h"

#include <string>

namespace keyrix::platform {

class TSharedReadFile {
public:
    // Raises EFOpenError naming the file when it is missing, unreadable, no regular file, or
    // locked by a writer.
    explicit TSharedReadFile(std::string path);
    TSharedReadFile(const TSharedReadFile&) = delete;
    TSharedReadFile& operator=(const TSharedReadFile&) = delete;

    int Fd() const { return FFd.Get(); }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    TFd FFd;  // closing it releases the lock
};

}  // namespace keyrix::platform
