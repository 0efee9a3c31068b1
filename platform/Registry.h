// The registry of the Linux build: HKEY_LOCAL_MACHINE kept in one hive file in regedit's
// export syntax (default /etc/keyrix/registry.reg, KEYRIX_REGISTRY overrides it).
//
// Two layers:
//  - TRegistryHive and TRegKey: the Win32-like operations (open, create, query, set,
//    delete) answering Windows error codes, with the ANSI ("A") view of string data:
//    REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ travel as Windows-1252 bytes with their
//    terminating NULs, as RegQueryValueExA and RegSetValueExA pass them.
//  - TRegistry: the registry access class the settings and the installation use
//    (OpenKey, ReadString, WriteInteger, ...), raising ERegistryException.
//
// Every change is on disk when the call returns: under an exclusive lock the current file
// is read again, the change applied, and the new hive written to a temporary file in the
// same folder, flushed, renamed over the old one, and the folder flushed. A TRegistryBatch
// makes several changes one such replacement. A crash leaves
// the old or the new hive, and two processes changing it at once lose neither's values.
// A new hive file gets mode 0600 (it holds passwords). A hive that cannot be parsed is an
// EHiveFormatError naming the file and line, and is never rewritten. A missing hive file
// is an empty registry; one that exists but cannot be read, or is not a regular file, is an
// EHiveFileError on every call, before anything is read or written.
#pragma once

#include "common/Exceptions.h"
#include "platform/WinError.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keyrix::platform {

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;

enum class TRegAccess { Read, AllAccess };

// A hive file that cannot be parsed: "Registry file \"<path>\", line <n>: <what>".
KEYRIX_DECLARE_EXCEPTION(EHiveFormatError, Exception);
// A hive file that exists but cannot be read, or is not a regular file (a directory, a
// device, a FIFO), after following symbolic links. The message names the file; the code
// is the errno value.
KEYRIX_DECLARE_EXCEPTION(EHiveFileError, EOSError);

class TRegistryHive;

// An open key. Closing (or destroying) it releases nothing on disk: every change was
// written when it was made.
class TRegKey {
public:
    const std::string& Path() const { return FPath; }  // below HKEY_LOCAL_MACHINE, as created
    TRegAccess Access() const { return FAccess; }

    // Type and ANSI data of a value ("" is the default value). ERROR_FILE_NOT_FOUND when
    // the value does not exist.
    long QueryValue(const std::string& name, std::uint32_t& type, std::string& data) const;
    // Creates or replaces a value; needs all access (ERROR_ACCESS_DENIED otherwise).
    long SetValue(const std::string& name, std::uint32_t type, const std::string& data);
    long DeleteValue(const std::string& name);
    // Names of the values and of the direct subkeys, in file order.
    long ValueNames(std::vector<std::string>& names) const;
    long SubKeyNames(std::vector<std::string>& names) const;

private:
    friend class TRegistryHive;
    TRegKey(std::shared_ptr<TRegistryHive> hive, std::string keyPath, TRegAccess access);
    long CheckExists() const;
    std::shared_ptr<TRegistryHive> FHive;
    std::string FKeyPath;  // as the hive file spells it (UTF-8)
    std::string FPath;     // the same in ANSI
    TRegAccess FAccess;
};

class TRegistryHive : public std::enable_shared_from_this<TRegistryHive> {
public:
    // KEYRIX_REGISTRY when set, else /etc/keyrix/registry.reg.
    static std::string DefaultPath();
    // The hive of HKEY_LOCAL_MACHINE for this process (at the path DefaultPath gives at
    // the time of the call).
    static std::shared_ptr<TRegistryHive> LocalMachine();
    static std::shared_ptr<TRegistryHive> Open(std::string filePath);

    const std::string& FilePath() const;

    // Key paths are relative to HKEY_LOCAL_MACHINE, parts separated by '\', compared
    // case-insensitively. Opening never creates; ERROR_FILE_NOT_FOUND when missing,
    // ERROR_ACCESS_DENIED for all access when the process may not write the hive.
    long OpenKey(const std::string& path, TRegAccess access, std::unique_ptr<TRegKey>& key);
    // Opens the key for all access, creating it and every key above it when missing.
    long CreateKey(const std::string& path, std::unique_ptr<TRegKey>& key, bool* created = nullptr);
    // Deletes the key with all its subkeys.
    long DeleteKey(const std::string& path);

    // Whether this process may change the hive: write access to the file and to its folder
    // (a change renames a new file over the old one); while the file does not exist yet, to
    // its folder or the nearest one above it that exists (missing folders are created).
    bool Writable() const;
    // The same with the reason: Error is 0 when it may, else the errno of the check that
    // refused, and Path the file (the one a symbolic link names) or folder that refused it.
    struct TWriteAccess {
        int Error = 0;
        std::string Path;
        bool Folder = false;
    };
    TWriteAccess CheckWriteAccess() const;

    ~TRegistryHive();

private:
    friend class TRegKey;
    friend class TRegistryBatch;
    explicit TRegistryHive(std::string filePath);
    std::unique_ptr<TRegKey> MakeKey(std::string keyPath, TRegAccess access);
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// Changes that reach the hive file together or not at all. While it lives, the hive's lock
// is held and every change through the hive (CreateKey, SetValue, DeleteKey, ...) goes to a
// copy in memory, which reads through the hive see; Commit then replaces the file once, as
// a single change does. Destroyed without Commit, it writes nothing. Use it from one thread:
// other threads using the same hive object wait until it ends.
class TRegistryBatch {
public:
    // Raises EHiveFileError or EHiveFormatError as any call does. A lock that cannot be
    // taken makes every change of the batch fail, and Commit answer why.
    explicit TRegistryBatch(TRegistryHive& hive);
    TRegistryBatch(const TRegistryBatch&) = delete;
    TRegistryBatch& operator=(const TRegistryBatch&) = delete;
    ~TRegistryBatch();

    // Writes the changes (nothing when there are none) and ends the batch. Answers
    // ERROR_SUCCESS or the failure's code; SystemError then tells the errno, when known.
    long Commit();
    int SystemError() const { return FSystemError; }

private:
    TRegistryHive& FHive;
    bool FEnded = false;
    int FSystemError = 0;
};

// Errors of the registry access class.
KEYRIX_DECLARE_EXCEPTION(ERegistryException, Exception);

// The registry access class, over HKEY_LOCAL_MACHINE of the process's hive.
class TRegistry {
public:
    explicit TRegistry(TRegAccess access = TRegAccess::AllAccess);
    explicit TRegistry(std::shared_ptr<TRegistryHive> hive, TRegAccess access = TRegAccess::AllAccess);
    virtual ~TRegistry() = default;

    TRegAccess Access() const { return FAccess; }
    void SetAccess(TRegAccess access) { FAccess = access; }
    TRegistryHive& Hive() { return *FHive; }
    const TRegistryHive& Hive() const { return *FHive; }

    // Opens the key with this object's access, closing the one open before; with
    // canCreate a missing key (and the keys above it) is created. A path starting with '\'
    // is absolute, any other is relative to the open key. Answers whether it opened;
    // LastError tells why not.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    TRegKey* CurrentKey() const { return FCurrentKey.get(); }
    const std::string& CurrentPath() const;

    bool KeyExists(const std::string& key);
    bool DeleteKey(const std::string& key);
    bool ValueExists(const std::string& name) const;
    bool DeleteValue(const std::string& name);
    // REG_NONE when the value does not exist.
    std::uint32_t GetDataType(const std::string& name) const;

    // Reading raises ERegistryException "Invalid data type for '%s'" on another type and
    // "Failed to get data for '%s'" when the value cannot be read.
    std::string ReadString(const std::string& name) const;  // REG_SZ or REG_EXPAND_SZ, unexpanded
    std::int32_t ReadInteger(const std::string& name) const;  // REG_DWORD
    bool ReadBool(const std::string& name) const;  // REG_DWORD, non-zero is true
    // Writing raises "Failed to set data for '%s'".
    void WriteString(const std::string& name, const std::string& value);  // REG_SZ with its NUL
    void WriteExpandString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteBool(const std::string& name, bool value);

    // Raw access for the helpers that add types (type and ANSI data, as TRegKey).
    long QueryRaw(const std::string& name, std::uint32_t& type, std::string& data) const;
    long SetRaw(const std::string& name, std::uint32_t type, const std::string& data);

    long LastError() const { return FLastError; }

private:
    std::string Resolve(const std::string& key) const;

    std::shared_ptr<TRegistryHive> FHive;
    TRegAccess FAccess;
    std::unique_ptr<TRegKey> FCurrentKey;
    mutable long FLastError = ERROR_SUCCESS;
};

}  // namespace keyrix::platform
