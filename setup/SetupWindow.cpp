#include "setup/SetupWindow.h"

namespace keyrix {

TSetup* SetupInstance = nullptr;

}  // namespace keyrix
