#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace keyrix::test {

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "keyrix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(FPath, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string WithoutSandbox(const std::string& unit) {
    const auto start = unit.find("\n# Confined to what a synchronisation needs");
    if (start == std::string::npos) return unit;
    const auto umask = unit.find("\nUMask=", start);
    if (umask == std::string::npos) return unit;
    return unit.substr(0, start) + unit.substr(unit.find('\n', umask + 1));
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> ReadCrLfLines(const std::string& path) {
    std::string content = ReadFile(path);
    std::vector<std::string> lines;
    std::string::size_type start = 0, end;
    while ((end = content.find("\r\n", start)) != std::string::npos) {
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    if (start < content.size()) lines.push_back(content.substr(start));  // an unterminated tail
    return lines;
}

void TRecordingConsole::SetTextAttribute(std::uint16_t attribute) {
    std::lock_guard guard(FRecord->Lock);
    FRecord->Attribute = attribute;
    char text[16];
    std::snprintf(text, sizeof text, "attr:%02X", attribute);
    FRecord->Events.emplace_back(text);
}

void TRecordingConsole::Write(std::string_view ansiText) {
    std::lock_guard guard(FRecord->Lock);
    FRecord->Events.emplace_back(ansiText);
}

std::string RunInChild(const std::function<std::string()>& function, bool unprivileged) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        try {
            if (unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                result = "setuid failed";
            else
                result = function();
        } catch (const std::exception& e) {
            result = std::string("exception: ") + e.what();
        }
        (void)!::write(fds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    std::array<char, 4096> buffer;
    ssize_t n;
    while ((n = ::read(fds[0], buffer.data(), buffer.size())) > 0) result.append(buffer.data(), n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return result;
}

TCommandResult RunCommand(const std::string& commandLine) {
    TCommandResult result;
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.Output.append(buffer.data(), n);
    int status = ::pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace keyrix::test
