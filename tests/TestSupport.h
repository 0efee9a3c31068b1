// Small helpers the tests share: temporary folders, file reading, a double put in place of a
// platform service, a recording console and running a piece of code in a child process.
#pragma once

#include "platform/ConsoleOutput.h"
#include "platform/Seam.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace keyrix::test {

// A fresh folder under /tmp, removed with everything in it at the end of the scope.
class TTempDir {
public:
    TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    ~TTempDir();
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// The file's lines, split at CR LF.
std::vector<std::string> ReadCrLfLines(const std::string& path);

// A double that stands in a platform seam for the helper's life, which owns it. As the seam
// asks, it is made before the threads that use it start and goes after they are joined.
template <class Interface, class Double>
class TInPlace {
public:
    template <class... Args>
    explicit TInPlace(Args&&... args) : Object(std::forward<Args>(args)...), FScoped(Object) {}
    TInPlace(const TInPlace&) = delete;
    TInPlace& operator=(const TInPlace&) = delete;

    Double Object;

private:
    typename platform::TSeam<Interface>::TScoped FScoped;
};

// What a console received: "attr:XX" for attribute changes and the written text.
struct TConsoleRecord {
    std::vector<std::string> Events;
    std::uint16_t Attribute = 0x07;
    std::mutex Lock;  // for readers while another thread writes
    bool Contains(const std::string& part) {
        std::lock_guard guard(Lock);
        for (const std::string& e : Events)
            if (e.find(part) != std::string::npos) return true;
        return false;
    }
};

class TRecordingConsole : public platform::IConsoleOutput {
public:
    explicit TRecordingConsole(std::shared_ptr<TConsoleRecord> record) : FRecord(std::move(record)) {}
    void SetTextAttribute(std::uint16_t attribute) override;
    void Write(std::string_view ansiText) override;

private:
    std::shared_ptr<TConsoleRecord> FRecord;
};

// Runs the function in a forked child and answers what it returned; the child ends with
// _exit, so the test framework's state is left alone. With unprivileged set, the child
// first gives up root (when it has it) for the "nobody" account.
std::string RunInChild(const std::function<std::string()>& function, bool unprivileged = false);

// A unit as /INSTALL writes it without its sandbox (the lines from the sandbox's comment to
// UMask=), for the tests of the other settings.
std::string WithoutSandbox(const std::string& unit);

// Runs a command line through the shell; answers its exit status and standard output.
struct TCommandResult {
    int ExitCode = -1;
    std::string Output;
};
TCommandResult RunCommand(const std::string& commandLine);

}  // namespace keyrix::test
