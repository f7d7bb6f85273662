// Windows: out of the installation folder into the user's documents
// (StartFolder.h).
#include "StartFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace tarnell {

namespace {

bool CanTakeAFile(const QString& folder)
{
    QTemporaryFile probe(folder + QStringLiteral("/.tarnell-probe-XXXXXX"));
    return probe.open();
}

}  // namespace

void LeaveProgramFolder()
{
    const QString current = QDir::current().canonicalPath();
    const QDir program(QCoreApplication::applicationDirPath());
    QDir installation = program;
    installation.cdUp();  // bin\ below the installation folder
    const bool inProgramFolder = current.compare(program.canonicalPath(), Qt::CaseInsensitive) == 0 ||
                                 current.compare(installation.canonicalPath(), Qt::CaseInsensitive) == 0;
    if (!inProgramFolder && CanTakeAFile(current))
        return;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return;
    const QString own = documents + QStringLiteral("/Tarnell Console");
    if (QDir().mkpath(own))
        QDir::setCurrent(own);
}

}  // namespace tarnell
