// Texts of the Windows error codes that the system reports by number.
#pragma once

#include <string>

namespace keyrix::platform {

// The system's text for a Windows error code; empty for a code it has no text for.
std::string WindowsErrorText(long code);

// Raises EOSError with "System Error.  Code: <code>.\r\n<text>".
[[noreturn]] void RaiseOSError(long code);

}  // namespace keyrix::platform
