// Small POSIX file helpers that several platform parts share.
#pragma once

#include <string>
#include <string_view>

namespace keyrix::platform {

// Writes all the bytes, retrying after signals and partial writes. Answers 0, or the errno
// of the write that failed (a write that takes nothing counts as ENOSPC); *written, when
// given, receives how many bytes went out before that.
int WriteAll(int fd, std::string_view bytes, std::size_t* written = nullptr);

// The folder of a path: "." for a bare name, "/" for a file in the root.
std::string FolderOf(const std::string& path);
// The last part of a path.
std::string BaseName(const std::string& path);

// Flushes a folder's entries (a rename or a new file in it) to disk; answers 0 or the errno.
int SyncFolder(const std::string& folder);

}  // namespace keyrix::platform
