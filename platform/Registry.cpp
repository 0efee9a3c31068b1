#include "platform/Registry.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/FileHandles.h"
#include "platform/PosixFiles.h"
#include "platform/RegistryFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>

namespace keyrix::platform {

using hivefile::THiveDocument;
using hivefile::THiveSection;
using hivefile::THiveValue;

namespace {

constexpr const char* DefaultHivePath = "/etc/keyrix/registry.reg";

long CodeOf(int error, long otherwise) {
    return error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED : otherwise;
}

[[noreturn]] void FailReading(const std::string& path, int error) {
    throw EHiveFileError(error, Format("Cannot read registry file \"%s\". %s", path, SysErrorMessage(error)));
}

[[noreturn]] void FailKind(const std::string& path, mode_t mode) {
    throw EHiveFileError(EINVAL, Format("Registry file \"%s\" is %s, not a regular file", path, FileKind(mode)));
}

// Only a regular file can be the hive: reading a FIFO would wait for ever, and replacing a
// device node by a new file would destroy it. Answers false when nothing is there.
bool CheckRegularFile(const std::string& path) {
    struct stat st;
    if (Env().Stat(path, st) != 0) {
        if (errno == ENOENT) return false;
        FailReading(path, errno);
    }
    if (!S_ISREG(st.st_mode)) FailKind(path, st.st_mode);
    return true;
}

// Creates the folder and those above it that are missing (mode 0700: the hive holds
// passwords); answers 0 or the errno.
int MakeFolders(const std::string& folder) {
    if (Env().MakeFolder(folder, 0700) == 0) return SyncFolder(FolderOf(folder));
    if (errno == EEXIST) return 0;
    if (errno != ENOENT) return errno;
    const std::string parent = FolderOf(folder);
    if (parent == folder) return ENOENT;
    if (int error = MakeFolders(parent)) return error;
    if (Env().MakeFolder(folder, 0700) != 0 && errno != EEXIST) return errno;
    return SyncFolder(parent);
}

// Temporary files are only alive while their writer holds the lock, so one found by the
// holder of the lock was left by a writer that died.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string prefix = BaseName(target) + ".tmp";
    const std::string folder = FolderOf(target);
    std::vector<std::string> names;
    if (Env().ListFolder(folder, names) != 0) return;
    for (const std::string& name : names)
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) Env().Unlink(folder + "/" + name);
}

// A key path as the hive compares it: UTF-8, parts separated by one '\'. Answers false for
// a name the file cannot hold.
bool ToKeyPath(const std::string& ansiPath, std::string& keyPath) {
    const std::string utf8 = AnsiToUtf8(ansiPath);
    keyPath.clear();
    std::size_t start = 0;
    while (start <= utf8.size()) {
        std::size_t end = utf8.find('\\', start);
        if (end == std::string::npos) end = utf8.size();
        std::string_view part(utf8.data() + start, end - start);
        if (part.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return false;
        if (!part.empty()) {
            if (!keyPath.empty()) keyPath += '\\';
            keyPath += part;
        }
        start = end + 1;
    }
    return true;
}

bool ValidValueName(std::string_view name) {
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool IsStringType(std::uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool IsLocalMachine(const THiveSection& section) { return SameText(section.Root, hivefile::LocalMachineRoot); }

bool IsSameOrBelow(std::string_view path, std::string_view key) {
    if (key.empty()) return true;
    if (path.size() < key.size() || !SameText(path.substr(0, key.size()), key)) return false;
    return path.size() == key.size() || path[key.size()] == '\\';
}

// The key as the file spells it, or nothing when it does not exist. A key exists when its
// section or one below it does: regedit exports leave out the keys above the exported one.
std::optional<std::string> CanonicalPath(const THiveDocument& hive, std::string_view key) {
    if (key.empty()) return std::string();
    for (const THiveSection& section : hive.Sections)
        if (IsLocalMachine(section) && IsSameOrBelow(section.Path, key)) return section.Path.substr(0, key.size());
    return std::nullopt;
}

template <class Document>
auto FindSection(Document& hive, std::string_view key) -> decltype(&hive.Sections.front()) {
    for (auto& section : hive.Sections)
        if (IsLocalMachine(section) && SameText(section.Path, key)) return &section;
    return nullptr;
}

template <class Section>
auto FindValue(Section& section, std::string_view name) -> decltype(&section.Values.front()) {
    for (auto& value : section.Values)
        if (SameText(value.Name, name)) return &value;
    return nullptr;
}

THiveSection& SectionFor(THiveDocument& hive, const std::string& key) {
    if (THiveSection* section = FindSection(hive, key)) return *section;
    return hive.Sections.emplace_back(THiveSection{std::string(hivefile::LocalMachineRoot), key, {}});
}

// Adds a section for each level of the key that does not exist yet (existing levels keep
// their spelling); answers the key's path as now spelt.
std::string AddKey(THiveDocument& hive, std::string_view key) {
    std::string path;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = key.find('\\', start);
        if (auto existing = CanonicalPath(hive, key.substr(0, end))) {
            path = *existing;
        } else {
            if (!path.empty()) path += '\\';
            path += key.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
            hive.Sections.push_back(THiveSection{std::string(hivefile::LocalMachineRoot), path, {}});
        }
        if (end == std::string_view::npos) return path;
        start = end + 1;
    }
}

}  // namespace

// -------------------------------------------------------------------------------------
// The hive file

struct TRegistryHive::TImpl {
    explicit TImpl(std::string filePath) : FilePath(std::move(filePath)) {}

    // What a change needs to know of the file it replaces.
    struct TFileState {
        bool Exists = false;
        mode_t Mode = 0;
        uid_t Owner = 0;
        gid_t Group = 0;
    };
    using TChange = std::function<long(THiveDocument& hive, bool& changed)>;

    // A batch open on this object: its lock, the hive as read under it, and the changes so
    // far. The thread that opened it holds the mutex until it ends, so it alone uses the
    // hive meanwhile.
    struct TBatch {
        std::unique_lock<std::recursive_mutex> Hold;  // declared first: released last
        std::string Target;
        TFd Lock;
        TFileState State;
        std::shared_ptr<const THiveDocument> Document;
        bool Changed = false;
        // The lock could not be taken: every change fails with this, and so does Commit.
        long Error = ERROR_SUCCESS;
        int SystemError = 0;
    };

    long Load(std::shared_ptr<const THiveDocument>& hive) {
        std::lock_guard<std::recursive_mutex> guard(Mutex);
        if (Batch) {
            hive = Batch->Document;
            return ERROR_SUCCESS;
        }
        TFileState ignored;
        return Read(hive, ignored);
    }

    // The file is read on every call (it is small, and another process may have replaced
    // it); it is parsed again only when its bytes changed.
    // A file that is there but cannot be read raises EHiveFileError: taking the defaults
    // instead would run with the built-in passwords and say nothing.
    long Read(std::shared_ptr<const THiveDocument>& hive, TFileState& state) {
        const bool exists = CheckRegularFile(FilePath);
        // Non-blocking, should a FIFO take the file's place after the check.
        TFd fd(exists ? Env().Open(FilePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
        if (fd.Get() < 0) {
            if (exists && errno != ENOENT) FailReading(FilePath, errno);
            state = TFileState();
            hive = std::make_shared<const THiveDocument>();
            return ERROR_SUCCESS;
        }
        struct stat st;
        if (Env().FileStat(fd.Get(), st) != 0) FailReading(FilePath, errno);
        if (!S_ISREG(st.st_mode)) FailKind(FilePath, st.st_mode);  // put there since the check
        state = {true, st.st_mode, st.st_uid, st.st_gid};
        std::string bytes;
        char buffer[16384];
        for (;;) {
            ssize_t n = Env().Read(fd.Get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) FailReading(FilePath, errno);
            if (n == 0) break;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        if (!Cache || bytes != CacheBytes) {
            Cache = std::make_shared<const THiveDocument>(hivefile::ParseHive(bytes, FilePath));
            CacheBytes = std::move(bytes);
        }
        hive = Cache;
        return ERROR_SUCCESS;
    }

    // Applies the change to the hive as it is on disk now, under the lock, and puts the
    // result in place when the change answers ERROR_SUCCESS and says it changed something.
    // In a batch the change goes to the batch's copy, and reaches the file with the others.
    long Modify(const TChange& change) {
        std::lock_guard<std::recursive_mutex> guard(Mutex);
        if (Batch) {
            if (Batch->Error != ERROR_SUCCESS) return Batch->Error;
            THiveDocument changed = *Batch->Document;
            bool modified = false;
            if (long code = change(changed, modified); code != ERROR_SUCCESS || !modified) return code;
            Batch->Document = std::make_shared<const THiveDocument>(std::move(changed));
            Batch->Changed = true;
            return ERROR_SUCCESS;
        }
        const std::string target = WriteTarget();
        CheckRegularFile(target);  // before the lock file and the temporary go beside it
        TFd lock;
        int error = 0;
        if (long code = Lock(target, lock, error)) return code;
        RemoveStaleTemporaries(target);

        std::shared_ptr<const THiveDocument> current;
        TFileState state;
        if (long code = Read(current, state)) return code;
        THiveDocument changed = *current;
        bool modified = false;
        if (long code = change(changed, modified); code != ERROR_SUCCESS || !modified) return code;

        std::string bytes = hivefile::FormatHive(changed);
        if (long code = Replace(target, bytes, state, error)) return code;
        Cache = std::make_shared<const THiveDocument>(std::move(changed));
        CacheBytes = std::move(bytes);
        return ERROR_SUCCESS;
    }

    // Takes the lock once for the whole batch and reads the hive under it. A lock that
    // cannot be taken leaves the batch open but failed, so that no change slips through
    // one at a time.
    void BeginBatch() {
        auto batch = std::make_unique<TBatch>();
        batch->Hold = std::unique_lock<std::recursive_mutex>(Mutex);
        if (Batch) throw EBugCheckError("A registry batch is open on this hive already");
        batch->Target = WriteTarget();
        CheckRegularFile(batch->Target);
        batch->Error = Lock(batch->Target, batch->Lock, batch->SystemError);
        if (batch->Error == ERROR_SUCCESS) RemoveStaleTemporaries(batch->Target);
        if (long code = Read(batch->Document, batch->State)) batch->Error = code;
        Batch = std::move(batch);
    }

    // Writes the batch's changes, if any, as one replacement of the file, and ends it.
    long CommitBatch(int& error) {
        std::lock_guard<std::recursive_mutex> guard(Mutex);
        if (!Batch) return ERROR_INVALID_HANDLE;
        std::unique_ptr<TBatch> batch = std::move(Batch);
        error = batch->SystemError;
        if (batch->Error != ERROR_SUCCESS || !batch->Changed) return batch->Error;
        std::string bytes = hivefile::FormatHive(*batch->Document);
        if (long code = Replace(batch->Target, bytes, batch->State, error)) return code;
        Cache = batch->Document;
        CacheBytes = std::move(bytes);
        return ERROR_SUCCESS;
    }

    void DiscardBatch() {
        std::lock_guard<std::recursive_mutex> guard(Mutex);
        Batch.reset();
    }

    // The file a change replaces: the hive itself, or what it links to.
    std::string WriteTarget() const {
        struct stat st;
        if (Env().LinkStat(FilePath, st) == 0 && S_ISLNK(st.st_mode)) {
            std::string resolved = Env().RealPath(FilePath);
            if (!resolved.empty()) return resolved;
        }
        return FilePath;
    }

    // The lock is a file of its own, as the hive is replaced by a rename at each change.
    // On failure, error receives the errno.
    static long Lock(const std::string& target, TFd& lock, int& error) {
        const std::string lockPath = target + ".lock";
        struct stat st;
        // Whoever may change the hive must be able to take its lock.
        const mode_t mode = Env().Stat(target, st) == 0 ? (st.st_mode & 0666) : 0600;
        for (bool folderMade = false;;) {
            lock.Reset(Env().Open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, mode));
            if (lock.Get() >= 0) break;
            error = errno;
            if (error == ENOENT && !folderMade) {
                if ((error = MakeFolders(FolderOf(target)))) return CodeOf(error, ERROR_WRITE_FAULT);
                folderMade = true;
                continue;
            }
            if (error == EACCES) {  // another account's lock file: flock needs no write access
                lock.Reset(Env().Open(lockPath, O_RDONLY | O_CLOEXEC));
                if (lock.Get() >= 0) break;
            }
            return CodeOf(error, ERROR_WRITE_FAULT);
        }
        while (Env().Lock(lock.Get(), LOCK_EX) != 0)
            if ((error = errno) != EINTR) return ERROR_WRITE_FAULT;
        error = 0;
        return ERROR_SUCCESS;
    }

    // Writes the new hive beside the old one and renames it over it, so that a crash
    // leaves one or the other whole. On failure, error receives the errno.
    static long Replace(const std::string& target, const std::string& bytes, const TFileState& old, int& error) {
        TReplaceOptions options;
        options.Temporary = target + ".tmpXXXXXX";
        if (old.Exists) {
            // The file keeps its owner and mode. A writer that is not root cannot give the
            // file to someone else; it then becomes the owner, which is all it can do.
            if (old.Owner != ::geteuid() || old.Group != ::getegid()) {
                options.Owner = old.Owner;
                options.Group = old.Group;
                options.OwnerBestEffort = true;
            }
            options.Mode = old.Mode & 07777;
        }
        const TReplaceResult result = ReplaceFile(target, bytes, options);
        error = result.Error;
        switch (result.Step) {
            case TReplaceStep::None: return ERROR_SUCCESS;
            case TReplaceStep::Create:
            case TReplaceStep::Mode:
            case TReplaceStep::Rename: return CodeOf(error, ERROR_WRITE_FAULT);
            default: return ERROR_WRITE_FAULT;
        }
    }

    const std::string FilePath;
    // Threads sharing this object take turns; flock separates processes. Recursive, as an
    // open batch holds it while its thread goes on using the hive.
    std::recursive_mutex Mutex;
    std::unique_ptr<TBatch> Batch;
    std::shared_ptr<const THiveDocument> Cache;
    std::string CacheBytes;
};

std::string TRegistryHive::DefaultPath() {
    std::string path = Env().Config().Registry;
    return !path.empty() ? path : std::string(DefaultHivePath);
}

std::shared_ptr<TRegistryHive> TRegistryHive::LocalMachine() { return Open(DefaultPath()); }

std::shared_ptr<TRegistryHive> TRegistryHive::Open(std::string filePath) {
    // The constructor is private, so make_shared cannot reach it.
    return std::shared_ptr<TRegistryHive>(new TRegistryHive(std::move(filePath)));
}

TRegistryHive::TRegistryHive(std::string filePath) : FImpl(std::make_unique<TImpl>(std::move(filePath))) {}

TRegistryHive::~TRegistryHive() = default;

const std::string& TRegistryHive::FilePath() const { return FImpl->FilePath; }

std::unique_ptr<TRegKey> TRegistryHive::MakeKey(std::string keyPath, TRegAccess access) {
    // The constructor is private, so make_unique cannot reach it.
    return std::unique_ptr<TRegKey>(new TRegKey(shared_from_this(), std::move(keyPath), access));
}

TRegistryHive::TWriteAccess TRegistryHive::CheckWriteAccess() const {
    const std::string target = FImpl->WriteTarget();
    if (Env().Access(target, W_OK) != 0 && errno != ENOENT) {
        const int error = errno;
        return {error, target, false};
    }
    for (std::string folder = FolderOf(target);;) {
        if (Env().Access(folder, W_OK | X_OK) == 0) return {};
        const int error = errno;
        std::string parent = FolderOf(folder);
        if (error != ENOENT || parent == folder) return {error, folder, true};
        folder = std::move(parent);
    }
}

bool TRegistryHive::Writable() const { return CheckWriteAccess().Error == 0; }

long TRegistryHive::OpenKey(const std::string& path, TRegAccess access, std::unique_ptr<TRegKey>& key) {
    key.reset();
    std::string keyPath;
    if (!ToKeyPath(path, keyPath)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FImpl->Load(hive)) return code;
    std::optional<std::string> canonical = CanonicalPath(*hive, keyPath);
    if (!canonical) return ERROR_FILE_NOT_FOUND;
    if (access == TRegAccess::AllAccess && !Writable()) return ERROR_ACCESS_DENIED;
    key = MakeKey(std::move(*canonical), access);
    return ERROR_SUCCESS;
}

long TRegistryHive::CreateKey(const std::string& path, std::unique_ptr<TRegKey>& key, bool* created) {
    key.reset();
    if (created != nullptr) *created = false;
    std::string keyPath;
    if (!ToKeyPath(path, keyPath)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FImpl->Load(hive)) return code;
    if (!Writable()) return ERROR_ACCESS_DENIED;
    std::optional<std::string> canonical = CanonicalPath(*hive, keyPath);
    if (!canonical) {
        // Another process may have created it meanwhile: decide under the lock.
        bool added = false;
        long code = FImpl->Modify([&](THiveDocument& current, bool& changed) {
            canonical = CanonicalPath(current, keyPath);
            if (!canonical) {
                canonical = AddKey(current, keyPath);
                changed = added = true;
            }
            return ERROR_SUCCESS;
        });
        if (code != ERROR_SUCCESS) return code;
        if (created != nullptr) *created = added;
    }
    key = MakeKey(std::move(*canonical), TRegAccess::AllAccess);
    return ERROR_SUCCESS;
}

long TRegistryHive::DeleteKey(const std::string& path) {
    std::string keyPath;
    if (!ToKeyPath(path, keyPath) || keyPath.empty()) return ERROR_INVALID_PARAMETER;  // the root stays
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FImpl->Load(hive)) return code;
    if (!CanonicalPath(*hive, keyPath)) return ERROR_FILE_NOT_FOUND;
    if (!Writable()) return ERROR_ACCESS_DENIED;
    return FImpl->Modify([&](THiveDocument& current, bool& changed) {
        changed = std::erase_if(current.Sections, [&](const THiveSection& section) {
                      return IsLocalMachine(section) && IsSameOrBelow(section.Path, keyPath);
                  }) > 0;
        return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

// -------------------------------------------------------------------------------------
// Batches

TRegistryBatch::TRegistryBatch(TRegistryHive& hive) : FHive(hive) { FHive.FImpl->BeginBatch(); }

TRegistryBatch::~TRegistryBatch() {
    if (!FEnded) FHive.FImpl->DiscardBatch();
}

long TRegistryBatch::Commit() {
    if (FEnded) return ERROR_INVALID_HANDLE;
    FEnded = true;
    return FHive.FImpl->CommitBatch(FSystemError);
}

// -------------------------------------------------------------------------------------
// Open keys

TRegKey::TRegKey(std::shared_ptr<TRegistryHive> hive, std::string keyPath, TRegAccess access)
    : FHive(std::move(hive)), FKeyPath(std::move(keyPath)), FPath(Utf8ToAnsi(FKeyPath)), FAccess(access) {}

long TRegKey::CheckExists() const {
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FHive->FImpl->Load(hive)) return code;
    return CanonicalPath(*hive, FKeyPath) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

long TRegKey::QueryValue(const std::string& name, std::uint32_t& type, std::string& data) const {
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FHive->FImpl->Load(hive)) return code;
    if (!CanonicalPath(*hive, FKeyPath)) return ERROR_KEY_DELETED;
    const THiveSection* section = FindSection(*hive, FKeyPath);
    const THiveValue* value = section != nullptr ? FindValue(*section, AnsiToUtf8(name)) : nullptr;
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    type = value->Type;
    data = IsStringType(value->Type) ? hivefile::Utf16LeToAnsi(value->Data) : value->Data;
    return ERROR_SUCCESS;
}

long TRegKey::SetValue(const std::string& name, std::uint32_t type, const std::string& data) {
    if (FAccess != TRegAccess::AllAccess) return ERROR_ACCESS_DENIED;
    const std::string valueName = AnsiToUtf8(name);
    if (!ValidValueName(valueName)) return ERROR_INVALID_PARAMETER;
    const std::string stored = IsStringType(type) ? hivefile::AnsiToUtf16Le(data) : data;
    if (long code = CheckExists()) return code;
    return FHive->FImpl->Modify([&](THiveDocument& hive, bool& changed) {
        if (!CanonicalPath(hive, FKeyPath)) return ERROR_KEY_DELETED;
        THiveSection& section = SectionFor(hive, FKeyPath);
        if (THiveValue* value = FindValue(section, valueName)) {
            value->Type = type;
            value->Data = stored;
        } else {
            section.Values.push_back({valueName, type, stored});
        }
        changed = true;
        return ERROR_SUCCESS;
    });
}

long TRegKey::DeleteValue(const std::string& name) {
    if (FAccess != TRegAccess::AllAccess) return ERROR_ACCESS_DENIED;
    const std::string valueName = AnsiToUtf8(name);
    std::uint32_t type = REG_NONE;
    std::string data;
    if (long code = QueryValue(name, type, data)) return code;
    return FHive->FImpl->Modify([&](THiveDocument& hive, bool& changed) {
        if (!CanonicalPath(hive, FKeyPath)) return ERROR_KEY_DELETED;
        THiveSection* section = FindSection(hive, FKeyPath);
        changed = section != nullptr && std::erase_if(section->Values, [&](const THiveValue& value) {
                                            return SameText(value.Name, valueName);
                                        }) > 0;
        return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

long TRegKey::ValueNames(std::vector<std::string>& names) const {
    names.clear();
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FHive->FImpl->Load(hive)) return code;
    if (!CanonicalPath(*hive, FKeyPath)) return ERROR_KEY_DELETED;
    if (const THiveSection* section = FindSection(*hive, FKeyPath))
        for (const THiveValue& value : section->Values) names.push_back(Utf8ToAnsi(value.Name));
    return ERROR_SUCCESS;
}

long TRegKey::SubKeyNames(std::vector<std::string>& names) const {
    names.clear();
    std::shared_ptr<const THiveDocument> hive;
    if (long code = FHive->FImpl->Load(hive)) return code;
    if (!CanonicalPath(*hive, FKeyPath)) return ERROR_KEY_DELETED;
    std::vector<std::string_view> children;
    for (const THiveSection& section : hive->Sections) {
        const bool below = IsSameOrBelow(section.Path, FKeyPath) && section.Path.size() > FKeyPath.size();
        if (!IsLocalMachine(section) || !below) continue;
        std::string_view rest = section.Path;
        rest.remove_prefix(FKeyPath.empty() ? 0 : FKeyPath.size() + 1);
        std::string_view child = rest.substr(0, rest.find('\\'));
        auto same = [&](std::string_view known) { return SameText(known, child); };
        if (std::none_of(children.begin(), children.end(), same)) children.push_back(child);
    }
    for (std::string_view child : children) names.push_back(Utf8ToAnsi(child));
    return ERROR_SUCCESS;
}

// -------------------------------------------------------------------------------------
// The registry access class

TRegistry::TRegistry(TRegAccess access) : TRegistry(TRegistryHive::LocalMachine(), access) {}

TRegistry::TRegistry(std::shared_ptr<TRegistryHive> hive, TRegAccess access)
    : FHive(std::move(hive)), FAccess(access) {}

std::string TRegistry::Resolve(const std::string& key) const {
    if (key.starts_with('\\')) return key.substr(1);
    if (!FCurrentKey || FCurrentKey->Path().empty()) return key;
    return key.empty() ? FCurrentKey->Path() : FCurrentKey->Path() + '\\' + key;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    const std::string path = Resolve(key);
    CloseKey();
    std::unique_ptr<TRegKey> opened;
    long code = FHive->OpenKey(path, FAccess, opened);
    if (code == ERROR_FILE_NOT_FOUND && canCreate) {
        code = FHive->CreateKey(path, opened);
        if (code == ERROR_SUCCESS && FAccess == TRegAccess::Read) code = FHive->OpenKey(path, FAccess, opened);
    }
    FLastError = code;
    FCurrentKey = std::move(opened);
    return code == ERROR_SUCCESS;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    const std::string path = Resolve(key);
    CloseKey();
    FLastError = FHive->OpenKey(path, TRegAccess::Read, FCurrentKey);
    return FLastError == ERROR_SUCCESS;
}

void TRegistry::CloseKey() { FCurrentKey.reset(); }

const std::string& TRegistry::CurrentPath() const {
    static const std::string none;
    return FCurrentKey ? FCurrentKey->Path() : none;
}

bool TRegistry::KeyExists(const std::string& key) {
    std::unique_ptr<TRegKey> probe;
    FLastError = FHive->OpenKey(Resolve(key), TRegAccess::Read, probe);
    return FLastError == ERROR_SUCCESS;
}

bool TRegistry::DeleteKey(const std::string& key) {
    FLastError = FHive->DeleteKey(Resolve(key));
    return FLastError == ERROR_SUCCESS;
}

bool TRegistry::ValueExists(const std::string& name) const {
    std::uint32_t type = REG_NONE;
    std::string data;
    return QueryRaw(name, type, data) == ERROR_SUCCESS;
}

bool TRegistry::DeleteValue(const std::string& name) {
    FLastError = FCurrentKey ? FCurrentKey->DeleteValue(name) : ERROR_INVALID_HANDLE;
    return FLastError == ERROR_SUCCESS;
}

std::uint32_t TRegistry::GetDataType(const std::string& name) const {
    std::uint32_t type = REG_NONE;
    std::string data;
    return QueryRaw(name, type, data) == ERROR_SUCCESS ? type : REG_NONE;
}

long TRegistry::QueryRaw(const std::string& name, std::uint32_t& type, std::string& data) const {
    FLastError = FCurrentKey ? FCurrentKey->QueryValue(name, type, data) : ERROR_INVALID_HANDLE;
    return FLastError;
}

long TRegistry::SetRaw(const std::string& name, std::uint32_t type, const std::string& data) {
    FLastError = FCurrentKey ? FCurrentKey->SetValue(name, type, data) : ERROR_INVALID_HANDLE;
    return FLastError;
}

std::string TRegistry::ReadString(const std::string& name) const {
    std::uint32_t type = REG_NONE;
    std::string data;
    if (QueryRaw(name, type, data) != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to get data for '%s'", name));
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw ERegistryException(Format("Invalid data type for '%s'", name));
    if (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) const {
    std::uint32_t type = REG_NONE;
    std::string data;
    if (QueryRaw(name, type, data) != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to get data for '%s'", name));
    if (type != REG_DWORD) throw ERegistryException(Format("Invalid data type for '%s'", name));
    if (data.size() != 4) throw ERegistryException(Format("Failed to get data for '%s'", name));
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(data[i]);
    return static_cast<std::int32_t>(value);
}

bool TRegistry::ReadBool(const std::string& name) const { return ReadInteger(name) != 0; }

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (SetRaw(name, REG_SZ, value + '\0') != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to set data for '%s'", name));
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    if (SetRaw(name, REG_EXPAND_SZ, value + '\0') != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to set data for '%s'", name));
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    std::string data;
    for (int shift = 0; shift < 32; shift += 8) data += static_cast<char>(bits >> shift & 0xFF);
    if (SetRaw(name, REG_DWORD, data) != ERROR_SUCCESS)
        throw ERegistryException(Format("Failed to set data for '%s'", name));
}

void TRegistry::WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }

}  // namespace keyrix::platform
