// The copy of the downloaded feed that a debug run keeps beside the executable
// (GetBrakonData.xml), for looking into what the HRM server sent.
#pragma once

#include <string>
#include <string_view>

namespace keyrix {

// Replaces the file with the feed's bytes, whole or not at all, and leaves no temporary file
// on any failure. The feed names employees, with their e-mails and phone numbers: the file is
// the owner's alone (0600). Raises EFCreateError naming the file and the error.
void SaveFeedCopy(const std::string& path, std::string_view bytes);

}  // namespace keyrix
