#include "core/AppPaths.h"

#include "core/Config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef QORV_DATA_FROM_BIN
#define QORV_DATA_FROM_BIN "../share/qorv-utility-service"
#endif

namespace AppPaths {

QString UserConfigFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/qorv-utility-service/config.ini");
}

QStringList ConfigCandidates()
{
    QStringList candidates{UserConfigFile()};
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty())
        dirs = QStringLiteral("/etc/xdg");
    // Relative entries are invalid there and would depend on the folder the service starts in.
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(dir))
            candidates.append(dir + QStringLiteral("/qorv-utility-service/config.ini"));
    candidates.append(Config::DefaultPath());
    return candidates;
}

QString ConfigFile()
{
    for (const QString& candidate : ConfigCandidates())
        if (QFileInfo(candidate).isFile())
            return candidate;
    return QString();
}

QString QssFolder()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {appDir + QStringLiteral("/qss"), appDir + QStringLiteral("/" QORV_DATA_FROM_BIN "/qss")}) {
        const QFileInfo info(candidate);
        if (info.isDir())
            return info.canonicalFilePath();
    }
    return QString();
}

QString QssFolderOrDefault()
{
    const QString folder = QssFolder();
    return folder.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/qss") : folder;
}

} // namespace AppPaths
