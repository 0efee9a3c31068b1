// Small POSIX file helpers that several platform parts share.
#pragma once

#include <string>
#include <string_view>

namespace keyrix::platform {

// Writes all the bytes, retrying after signals and partial writes. Answers 0, or the errno
// of the write that failed (a write that takes nothing counts as ENOSPC); *written, when
// given, receives how many bytes went out before that.
int WriteAll(int fd, std::string_view bytes, std::size_t* written = nullptr);

// Appends the bytes whole or not at all, for a file whose end the caller owns (it holds
// the file's lock): when a write fails part way (a full disk), the file is cut back to the
// size it had. Answers 0, or the errno of the failed write; *cutError, when given, receives
// the errno of a cut-back that failed too (0 when the cut-back worked or was not needed).
int AppendWhole(int fd, std::string_view bytes, int* cutError = nullptr);

// The folder of a path: "." for a bare name, "/" for a file in the root.
std::string FolderOf(const std::string& path);
// The last part of a path.
std::string BaseName(const std::string& path);

// What a file of this mode is, for messages: "a directory", "a FIFO", "a symbolic link", ...
const char* FileKind(unsigned mode);

// Reads a small regular file whole, through Env(), without waiting on what lies at the path
// (it is opened non-blocking, so a FIFO does not hold the reader; flags adds O_NOFOLLOW,
// say). Answers 0; the errno of the open, stat or read; EINVAL when it is no regular file;
// EFBIG when it holds more than most bytes.
int ReadSmallFile(const std::string& path, int flags, std::size_t most, std::string& text);

// The id of a group by its name (NSS: /etc/group, LDAP, ...); false when there is none.
bool GroupIdOf(const std::string& name, unsigned& gid);

// Flushes a folder's entries (a rename or a new file in it) to disk; answers 0 or the errno.
int SyncFolder(const std::string& folder);

}  // namespace keyrix::platform
