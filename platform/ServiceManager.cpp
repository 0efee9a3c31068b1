#include "platform/ServiceManager.h"

#include "platform/SystemdServiceManager.h"

namespace keyrix::platform {

// Never destroyed, as every seam's real one; it holds nothing that needs undoing at exit,
// since the dispatcher stops routing the signals before it returns.
IServiceControlManager& ServiceControlManager() { return TSeam<IServiceControlManager>::Get<TSystemdServiceManager>(); }

}  // namespace keyrix::platform
