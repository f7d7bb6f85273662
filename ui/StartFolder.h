// The folder the console works in: the dispatch log SIO.LOG and the file
// dialogs' first folder are the current folder's.
#pragma once

namespace tarnell {

// On Windows the Start-menu entry starts the program in its installation
// folder, which a user cannot write to: started there (or in any folder that
// cannot take a file) it works in Documents\Tarnell Console instead. Elsewhere
// the current folder stays. Call after the application object exists.
void LeaveProgramFolder();

}  // namespace tarnell
