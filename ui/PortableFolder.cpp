#include "StartFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tarnell {

QString PortableFolder()
{
    const QString folder = QCoreApplication::applicationDirPath();
    return QFileInfo(QDir(folder).filePath(QLatin1String(kPortableMarker))).isFile() ? folder : QString();
}

QString OwnFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return {};
    const QString own = documents + QStringLiteral("/Tarnell Console");
    return QDir().mkpath(own) ? own : QString();
}

}  // namespace tarnell
