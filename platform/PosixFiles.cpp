#include "platform/PosixFiles.h"

#include "platform/Env.h"
#include "platform/FileHandles.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <cerrno>
#include <vector>

namespace keyrix::platform {

int WriteAll(int fd, std::string_view bytes, std::size_t* written) {
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = Env().Write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    return error;
}

int AppendWhole(int fd, std::string_view bytes, int* cutError) {
    if (cutError) *cutError = 0;
    struct stat before;
    if (Env().FileStat(fd, before) != 0) return errno;
    std::size_t written = 0;
    const int error = WriteAll(fd, bytes, &written);
    if (error == 0 || written == 0) return error;
    int cut;
    do cut = Env().Truncate(fd, before.st_size);
    while (cut != 0 && errno == EINTR);
    if (cut != 0 && cutError) *cutError = errno;
    return error;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

const char* FileKind(unsigned mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a file of an unknown kind";
}

int ReadSmallFile(const std::string& path, int flags, std::size_t most, std::string& text) {
    IEnv& env = Env();
    const TFd file(env.Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (file.Get() < 0) return errno;
    struct stat st {};
    if (env.FileStat(file.Get(), st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    // One byte more than allowed tells a file that grew since the stat.
    text.assign(most + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = env.Read(file.Get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return got > most ? EFBIG : 0;
}

bool GroupIdOf(const std::string& name, unsigned& gid) {
    if (name.empty()) return false;
    std::vector<char> buffer(16384);
    ::group entry{};
    ::group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    gid = found->gr_gid;
    return true;
}

int SyncFolder(const std::string& folder) {
    TFd fd(Env().Open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0 || Env().Sync(fd.Get()) != 0) return errno;
    return 0;
}

namespace {

// The steps up to the folder's flush; the temporary is gone when it answers a failure.
void PutInPlace(const std::string& path, std::string_view bytes, const TReplaceOptions& options,
                TReplaceResult& result) {
    IEnv& env = Env();
    const auto failed = [&result](TReplaceStep step, int error) {
        result.Step = step;
        result.Error = error;
    };
    TFd file(env.MakeTemporary(result.Temporary, O_CLOEXEC));
    if (file.Get() < 0) return failed(TReplaceStep::Create, errno);
    TTempFile temporary(result.Temporary);
    if ((options.Owner != static_cast<uid_t>(-1) || options.Group != static_cast<gid_t>(-1)) &&
        env.ChangeOwner(file.Get(), options.Owner, options.Group) != 0 && !options.OwnerBestEffort)
        return failed(TReplaceStep::Owner, errno);
    if (options.Mode && env.ChangeMode(file.Get(), *options.Mode) != 0) return failed(TReplaceStep::Mode, errno);
    if (const int error = WriteAll(file.Get(), bytes); error != 0) return failed(TReplaceStep::Write, error);
    if (env.Sync(file.Get()) != 0) return failed(TReplaceStep::Flush, errno);
    if (const int error = file.Close(); error != 0) return failed(TReplaceStep::Close, error);
    if (!options.MustBeNew) {
        if (env.Rename(result.Temporary, path) != 0) return failed(TReplaceStep::Rename, errno);
        temporary.Keep();
    } else if (env.Rename(result.Temporary, path, RENAME_NOREPLACE) == 0) {
        temporary.Keep();
    } else {
        if (errno != EINVAL) return failed(TReplaceStep::Rename, errno);
        // A file system without RENAME_NOREPLACE: link refuses an existing name too, and the
        // temporary's name then goes.
        if (env.Link(result.Temporary, path) != 0) return failed(TReplaceStep::Rename, errno);
    }
    if (const int error = SyncFolder(FolderOf(path)); error != 0) failed(TReplaceStep::FlushFolder, error);
}

}  // namespace

TReplaceResult ReplaceFile(const std::string& path, std::string_view bytes, const TReplaceOptions& options) {
    TReplaceResult result;
    result.Temporary = options.Temporary.empty() ? path + ".XXXXXX" : options.Temporary;
    PutInPlace(path, bytes, options, result);
    if (result.Error != 0 && result.Step != TReplaceStep::FlushFolder && options.RemovePreviousOnFailure)
        result.PreviousRemoved = Env().Unlink(path) == 0;
    return result;
}

}  // namespace keyrix::platform
