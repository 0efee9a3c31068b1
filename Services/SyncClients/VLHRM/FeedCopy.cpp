#include "Services/SyncClients/VLHRM/FeedCopy.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "platform/PosixFiles.h"

namespace keyrix {

void SaveFeedCopy(const std::string& path, std::string_view bytes) {
    const platform::TReplaceResult result = platform::ReplaceFile(path, bytes);
    // A folder that cannot be flushed loses no data: the copy is in place.
    if (result.Error == 0 || result.Step == platform::TReplaceStep::FlushFolder) return;
    // Only the rename is about the file itself; the other steps are the temporary's.
    const std::string& file = result.Step == platform::TReplaceStep::Rename ? path : result.Temporary;
    throw EFCreateError(Format("Cannot create file \"%s\". %s", file, SysErrorMessage(result.Error)));
}

}  // namespace keyrix
