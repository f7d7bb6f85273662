// The folder the console works in: the dispatch log SIO.LOG and the file
// dialogs' first folder are the current folder's.
#pragma once

#include <QString>

namespace tarnell {

// The marker file that makes a copy portable: beside the program, it keeps
// the set-up and the working files in the program's own folder, so that
// deleting the folder removes everything. The portable zip ships it; the
// installer and the Debian package do not.
inline constexpr const char kPortableMarker[] = "portable.txt";
// The set-up's file in a portable folder.
inline constexpr const char kPortableSetup[] = "tarnell-console.ini";

// The program's folder if it holds the marker, else "".
QString PortableFolder();

// The console's own folder for its files, Documents/Tarnell Console (with
// XDG's documents folder on Linux); created when needed. "" if there is none.
QString OwnFolder();

// Leaves a folder that is not the user's choice for one of the console's own:
// the portable folder, or else OwnFolder(). On Windows the Start-menu entry
// starts the program in its installation folder, which a user cannot write
// to: started there (or in any folder that cannot take a file) it moves. On
// Linux the desktop entry passes fromMenu (the menu starts programs in the
// home folder, which is no place for a log); from a terminal the current
// folder stays. Call after the application object exists.
void LeaveProgramFolder(bool fromMenu, const QString& portableFolder);

}  // namespace tarnell
