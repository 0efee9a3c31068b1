// The unit file of a service: where it lives, its text as sections of lines that a change
// edits in place, and the unit that installing a service writes, with its sandbox.
#pragma once

#include "platform/ServiceManager.h"

#include <string>
#include <vector>

namespace keyrix::platform {

// KEYRIX_SYSTEMD_DIR when set, else /etc/systemd/system.
std::string SystemdUnitDirectory();
// The unit file of a service: the folder, the service name and ".service".
std::string SystemdUnitPath(const std::string& serviceName);
// The unit's name: the service name and ".service".
std::string ServiceUnitName(const std::string& serviceName);

// A unit file as sections of lines, so that a change touches only the lines it owns.
class TUnitFile {
public:
    static TUnitFile Parse(const std::string& text);
    std::string Text() const;

    bool HasSection(const std::string& name) const;
    void Set(const std::string& section, const std::string& key, const std::string& value);
    void Comment(const std::string& section, const std::string& text);
    void Remove(const std::string& section, const std::string& key);
    // The description lives in the comment lines right after Description=.
    void SetDescriptionComment(const std::string& description);

private:
    struct TSection {
        std::string Name;
        std::vector<std::string> Lines;
    };

    static bool IsKey(const std::string& line, const std::string& key);
    // New sections go in the order systemd's documentation shows them.
    TSection& Section(const std::string& name);

    std::vector<TSection> FSections;
};

// The unit that installing the service writes: a notify service running its command line as
// its account, confined to the folders a synchronisation writes, started at boot for the
// start types that mean it.
std::string RenderUnit(const TServiceConfig& config);

}  // namespace keyrix::platform
