// Linux: the desktop entry starts the console in the user's home folder, and
// from a terminal the user's own folder is meant; nothing to change.
#include "StartFolder.h"

namespace tarnell {

void LeaveProgramFolder() {}

}  // namespace tarnell
