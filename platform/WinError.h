// The Windows error codes that the system reports by number, and their texts.
#pragma once

#include <string>

namespace keyrix::platform {

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long NO_ERROR = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;    // registry key or value missing
inline constexpr long ERROR_ACCESS_DENIED = 5;     // e.g. all access without write permission on the hive
inline constexpr long ERROR_INVALID_HANDLE = 6;    // operation on a closed registry key
inline constexpr long ERROR_WRITE_FAULT = 29;      // a file (hive, unit) could not be written
inline constexpr long ERROR_READ_FAULT = 30;       // a file could not be read
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr long ERROR_KEY_DELETED = 1018;    // the open registry key was deleted meanwhile
inline constexpr long ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr long ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr long ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr long ERROR_SERVICE_EXISTS = 1073;

// The system's text for a Windows error code; empty for a code it has no text for.
std::string WindowsErrorText(long code);

// Raises EOSError with "System Error.  Code: <code>.\r\n<text>".
[[noreturn]] void RaiseOSError(long code);

}  // namespace keyrix::platform
