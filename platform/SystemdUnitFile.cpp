#include "platform/SystemdUnitFile.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/Env.h"
#include "platform/PosixFiles.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/RunLock.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace keyrix::platform {

namespace {

constexpr const char* DefaultUnitDirectory = "/etc/systemd/system";

// A value on one line; '%' would start a specifier.
std::string UnitValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            value += ' ';
        else if (c == '%')
            value += "%%";
        else
            value += c;
    }
    return value;
}

// The command line keeps its quotes; '$' would expand a variable and '\' start an escape.
std::string ExecStartValue(const std::string& commandLine) {
    std::string value;
    for (char c : UnitValue(commandLine)) {
        if (c == '$')
            value += "$$";
        else if (c == '\\')
            value += "\\\\";
        else
            value += c;
    }
    return value;
}

// A group of services has no unit of its own in systemd: a target stands for it.
std::string DependencyUnit(const std::string& dependency) {
    if (!dependency.empty() && dependency.front() == '+') return dependency.substr(1) + ".target";
    return dependency.find('.') != std::string::npos ? dependency : dependency + ".service";
}

// The account of the service: none for the system account; a Windows-style ".\name" or
// "DOMAIN\name" becomes the name.
std::string UserOf(const std::string& account) {
    if (account.empty() || SameText(account, "LocalSystem")) return "";
    const auto slash = account.rfind('\\');
    return slash == std::string::npos ? account : account.substr(slash + 1);
}

// A path in a list of ReadWritePaths=: "-" lets a missing folder be, quotes keep blanks.
std::string SandboxPath(const std::string& path) {
    const std::string value = "-" + UnitValue(path);
    if (value.find_first_of(" \t\"'\\") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The folders a synchronisation writes, as they are where the unit is installed: the
// executable's (sync log, summary, the feed's copy), the hive's (its lock file, the rewrite
// of the migration; the target's too when the hive is a link) and the run lock's.
std::vector<std::string> WritableFolders(const std::string& runLock) {
    std::vector<std::string> folders = {WithoutTrailingSlash(ExecutableDirectory())};
    const std::string hive = TRegistryHive::DefaultPath();
    folders.push_back(FolderOf(hive));
    const std::string real = Env().RealPath(hive);
    if (!real.empty()) folders.push_back(FolderOf(real));
    if (FolderOf(runLock) != TRunLock::DefaultFolder) folders.push_back(FolderOf(runLock));
    std::vector<std::string> unique;
    for (const std::string& folder : folders)
        if (std::find(unique.begin(), unique.end(), folder) == unique.end()) unique.push_back(folder);
    return unique;
}

// The service needs little: TCP and local sockets, reading the hive, the card-holder file
// and its libraries, writing the folders above. Everything else is closed, so that a fault
// in the program or its libraries reaches no further.
void AddSandbox(TUnitFile& unit, const std::string& serviceName) {
    const std::string runLock = TRunLock::DefaultPath(serviceName);
    std::string paths;
    for (const std::string& folder : WritableFolders(runLock)) paths += (paths.empty() ? "" : " ") + SandboxPath(folder);
    unit.Comment("Service", Format("Confined to what a synchronisation needs; widen it with a drop-in (systemctl edit "
                                   "%s), for example ReadWritePaths= for another folder.",
                                   UnitValue(serviceName)));
    unit.Set("Service", "ProtectSystem", "strict");
    unit.Set("Service", "ReadWritePaths", paths);
    if (FolderOf(runLock) == TRunLock::DefaultFolder) {
        // Made by systemd for the run lock, root's and kept between runs: a run in progress
        // keeps its lock file.
        unit.Set("Service", "RuntimeDirectory", BaseName(TRunLock::DefaultFolder));
        unit.Set("Service", "RuntimeDirectoryMode", "0755");
        unit.Set("Service", "RuntimeDirectoryPreserve", "yes");
    }
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"ProtectHome", "read-only"},
             {"PrivateTmp", "yes"},
             {"PrivateDevices", "yes"},
             {"PrivateIPC", "yes"},
             {"PrivateMounts", "yes"},
             {"NoNewPrivileges", "yes"},
             {"CapabilityBoundingSet", ""},
             {"ProtectKernelTunables", "yes"},
             {"ProtectKernelModules", "yes"},
             {"ProtectKernelLogs", "yes"},
             {"ProtectClock", "yes"},
             {"ProtectControlGroups", "yes"},
             {"ProtectHostname", "yes"},
             {"ProtectProc", "invisible"},
             {"ProcSubset", "pid"},
             {"RestrictAddressFamilies", "AF_UNIX AF_INET AF_INET6"},
             {"RestrictNamespaces", "yes"},
             {"RestrictRealtime", "yes"},
             {"RestrictSUIDSGID", "yes"},
             {"LockPersonality", "yes"},
             {"MemoryDenyWriteExecute", "yes"},
             {"SystemCallArchitectures", "native"},
             {"SystemCallFilter", "@system-service"},
             // A call outside the filter fails with an error the program reports, rather than
             // killing it.
             {"SystemCallErrorNumber", "EPERM"},
             {"DevicePolicy", "closed"},
             {"KeyringMode", "private"},
             {"RemoveIPC", "yes"},
             {"UMask", "0077"},
         })
        unit.Set("Service", key, value);
}

}  // namespace

std::string SystemdUnitDirectory() {
    std::string dir = Env().Config().SystemdDir;
    return !dir.empty() ? dir : std::string(DefaultUnitDirectory);
}

std::string SystemdUnitPath(const std::string& serviceName) {
    return SystemdUnitDirectory() + "/" + ServiceUnitName(serviceName);
}

std::string ServiceUnitName(const std::string& serviceName) { return serviceName + ".service"; }

TUnitFile TUnitFile::Parse(const std::string& text) {
    TUnitFile unit;
    TSection* current = &unit.Section("");
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line.front() == '[' && line.back() == ']')
            current = &unit.Section(line.substr(1, line.size() - 2));
        else
            current->Lines.push_back(std::move(line));
    }
    return unit;
}

std::string TUnitFile::Text() const {
    std::string text;
    for (const TSection& section : FSections) {
        if (section.Name.empty() && section.Lines.empty()) continue;
        if (!text.empty()) text += '\n';
        if (!section.Name.empty()) text += "[" + section.Name + "]\n";
        for (const std::string& line : section.Lines) text += line + '\n';
    }
    return text;
}

bool TUnitFile::HasSection(const std::string& name) const {
    return std::any_of(FSections.begin(), FSections.end(),
                       [&](const TSection& s) { return s.Name == name && !s.Lines.empty(); });
}

void TUnitFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    std::vector<std::string>& lines = Section(section).Lines;
    const std::string line = key + "=" + value;
    auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return IsKey(l, key); });
    if (it != lines.end())
        *it = line;
    else
        lines.push_back(line);
}

void TUnitFile::Comment(const std::string& section, const std::string& text) {
    Section(section).Lines.push_back("# " + text);
}

void TUnitFile::Remove(const std::string& section, const std::string& key) {
    std::erase_if(Section(section).Lines, [&](const std::string& l) { return IsKey(l, key); });
}

void TUnitFile::SetDescriptionComment(const std::string& description) {
    std::vector<std::string>& lines = Section("Unit").Lines;
    auto at =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return IsKey(l, "Description"); });
    at = at == lines.end() ? lines.begin() : at + 1;
    auto end = std::find_if(at, lines.end(), [](const std::string& l) { return l.front() != '#'; });
    at = lines.erase(at, end);
    std::vector<std::string> comment;
    std::string::size_type start = 0;
    while (start < description.size()) {
        auto stop = description.find_first_of("\r\n", start);
        if (stop == std::string::npos) stop = description.size();
        if (stop > start) comment.push_back("# " + description.substr(start, stop - start));
        start = stop + 1;
    }
    lines.insert(at, comment.begin(), comment.end());
}

bool TUnitFile::IsKey(const std::string& line, const std::string& key) {
    if (line.compare(0, key.size(), key) != 0) return false;
    const auto next = line.find_first_not_of(" \t", key.size());
    return next != std::string::npos && line[next] == '=';
}

TUnitFile::TSection& TUnitFile::Section(const std::string& name) {
    for (TSection& section : FSections)
        if (section.Name == name) return section;
    static const std::vector<std::string> order = {"", "Unit", "Service", "Install"};
    auto rank = [&](const std::string& n) {
        return static_cast<std::size_t>(std::find(order.begin(), order.end(), n) - order.begin());
    };
    auto at = std::find_if(FSections.begin(), FSections.end(),
                           [&](const TSection& s) { return rank(s.Name) > rank(name); });
    return *FSections.insert(at, TSection{name, {}});
}

std::string RenderUnit(const TServiceConfig& config) {
    TUnitFile unit;
    unit.Set("Unit", "Description", UnitValue(config.DisplayName));
    if (!config.Dependencies.empty()) {
        std::string units;
        for (const std::string& dependency : config.Dependencies) {
            if (dependency.empty() || dependency == "+") continue;
            if (!units.empty()) units += ' ';
            units += UnitValue(DependencyUnit(dependency));
        }
        if (!units.empty()) {
            unit.Set("Unit", "After", units);
            unit.Set("Unit", "Requires", units);
        }
    }
    unit.Set("Service", "Type", "notify");
    unit.Set("Service", "ExecStart", ExecStartValue(config.BinaryPathName));
    const std::string user = UserOf(config.ServiceStartName);
    if (!user.empty()) unit.Set("Service", "User", UnitValue(user));
    AddSandbox(unit, config.ServiceName);
    // Boot and system start exist only for drivers; both mean "at boot" here as well.
    if (config.StartType <= 2) unit.Set("Install", "WantedBy", "multi-user.target");
    return unit.Text();
}

}  // namespace keyrix::platform
