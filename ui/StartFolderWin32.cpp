// Windows: out of the installation folder into the user's documents, or a
// portable copy's own folder (StartFolder.h).
#include "StartFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryFile>

namespace tarnell {

namespace {

bool CanTakeAFile(const QString& folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.tarnell-probe-XXXXXX"));
    return probe.open();
}

}  // namespace

void LeaveProgramFolder(bool, const QString& portableFolder)
{
    const QString current = QDir::current().canonicalPath();
    const QDir program(QCoreApplication::applicationDirPath());
    QDir installation = program;
    installation.cdUp();  // bin\ below the installation folder
    const bool inProgramFolder = current.compare(program.canonicalPath(), Qt::CaseInsensitive) == 0 ||
                                 current.compare(installation.canonicalPath(), Qt::CaseInsensitive) == 0;
    if (!inProgramFolder && CanTakeAFile(current))
        return;
    // A portable copy works beside itself, unless its medium is read-only.
    if (!portableFolder.isEmpty() && CanTakeAFile(portableFolder)) {
        QDir::setCurrent(portableFolder);
        return;
    }
    const QString own = OwnFolder();
    if (!own.isEmpty())
        QDir::setCurrent(own);
}

}  // namespace tarnell
