#include "platform/WinError.h"

#include "common/Exceptions.h"
#include "common/Format.h"

#include <map>

namespace keyrix::platform {

std::string WindowsErrorText(long code) {
    static const std::map<long, std::string> texts = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {29, "The system cannot write to the specified device."},
        {30, "The system cannot read from the specified device."},
        {87, "The parameter is incorrect."},
        {120, "This function is not supported on this system."},
        {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
        {1060, "The specified service does not exist as an installed service."},
        {1063, "The service process could not connect to the service controller."},
        {1066, "The service has returned a service-specific error code."},
        {1073, "The specified service already exists."},
    };
    auto it = texts.find(code);
    return it == texts.end() ? std::string() : it->second;
}

void RaiseOSError(long code) {
    throw EOSError(static_cast<int>(code), Format("System Error.  Code: %d.\r\n%s", code, WindowsErrorText(code)));
}

}  // namespace keyrix::platform
