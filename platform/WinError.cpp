#include "platform/WinError.h"

#include "common/Exceptions.h"
#include "common/Format.h"

#include <map>

namespace keyrix::platform {

std::string WindowsErrorText(long code) {
    static const std::map<long, std::string> texts = {
        {ERROR_SUCCESS, "The operation completed successfully."},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
        {ERROR_READ_FAULT, "The system cannot read from the specified device."},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
        {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
        {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "The service process could not connect to the service controller."},
        {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code."},
        {ERROR_SERVICE_EXISTS, "The specified service already exists."},
    };
    auto it = texts.find(code);
    return it == texts.end() ? std::string() : it->second;
}

void RaiseOSError(long code) {
    throw EOSError(static_cast<int>(code), Format("System Error.  Code: %d.\r\n%s", code, WindowsErrorText(code)));
}

}  // namespace keyrix::platform
