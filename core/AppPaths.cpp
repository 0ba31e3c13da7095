#include "core/AppPaths.h"

#include "core/Config.h"

#include <QCoreApplication>
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

QString ConfigFile()
{
    const QString user = UserConfigFile();
    return QFileInfo(user).isFile() ? user : Config::DefaultPath();
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
