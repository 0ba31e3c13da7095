// The running program's file, read from the /proc/self/exe link (the module file name on Windows).
#include "install/CommonFunction.h"

#include <QFileInfo>

QString CommonFunction::GetExeFolder()
{
    const QString target = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFileInfo(target).absolutePath();
}
