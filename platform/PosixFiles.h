// Small POSIX file helpers that several platform parts share.
#pragma once

#include <sys/types.h>

#include <optional>
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

// The step of a replacement that failed, for the callers' messages.
enum class TReplaceStep { None, Create, Owner, Mode, Write, Flush, Close, Rename, FlushFolder };

struct TReplaceOptions {
    // mkostemp's template of the temporary file, beside the file; "" is "<path>.XXXXXX".
    std::string Temporary;
    // The mode the temporary is given; none keeps the 0600 it is created with.
    std::optional<mode_t> Mode;
    // The owner and group the temporary is given before its bytes; -1 keeps the process's.
    uid_t Owner = static_cast<uid_t>(-1);
    gid_t Group = static_cast<gid_t>(-1);
    // A writer that is not root cannot give a file away: it then keeps its own owner rather
    // than fail.
    bool OwnerBestEffort = false;
    // An existing file is left alone: the replacement fails at the rename with EEXIST.
    bool MustBeNew = false;
    // When the replacement fails, the file that was there goes too (which needs no free
    // space), so that no reader takes it for the new one.
    bool RemovePreviousOnFailure = false;
};

struct TReplaceResult {
    int Error = 0;                             // 0, or the errno of the step that failed
    TReplaceStep Step = TReplaceStep::None;
    std::string Temporary;                     // the temporary's name as it was made
    bool PreviousRemoved = false;
};

// Replaces the file at the path with the bytes, so that a reader finds the old file or the
// new one, whole: a temporary file beside it (options.Temporary), given its owner and mode,
// written, flushed, closed, renamed over the path, and the folder flushed. Every call goes
// through Env(). On every failure the temporary is removed. A failure to flush the folder
// (FlushFolder) comes last: the new file is in place then, only its name may not have
// reached the disk, and the previous file is not removed for it.
TReplaceResult ReplaceFile(const std::string& path, std::string_view bytes, const TReplaceOptions& options = {});

}  // namespace keyrix::platform
