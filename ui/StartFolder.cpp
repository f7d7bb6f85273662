// Linux: from a terminal the user's current folder is meant and stays; the
// desktop entry's start (in the home folder) moves to the console's own.
#include "StartFolder.h"

#include <QDir>

namespace tarnell {

void LeaveProgramFolder(bool fromMenu, const QString& portableFolder)
{
    if (!fromMenu)
        return;
    const QString own = portableFolder.isEmpty() ? OwnFolder() : portableFolder;
    if (!own.isEmpty())
        QDir::setCurrent(own);
}

}  // namespace tarnell
