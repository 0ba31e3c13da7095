// Stands in for a named shared-memory segment: an exclusive flock(2) on a file in the user's
// runtime folder ($XDG_RUNTIME_DIR, else the temporary folder), released by the kernel at exit.
#include "core/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

SingleInstance::SingleInstance(const QString& _qstrKey)
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::tempPath() + QStringLiteral("/") + _qstrKey + QStringLiteral("-") +
                 QString::number(getuid());
    QDir().mkpath(folder);
    m_qstrPath = folder + QStringLiteral("/") + _qstrKey + QStringLiteral(".lock");
}

SingleInstance::~SingleInstance()
{
    if (m_nHandle >= 0)
        close(m_nHandle);
}

bool SingleInstance::TryAcquire()
{
    if (m_nHandle >= 0)
        return true;
    const int fd = open(QFile::encodeName(m_qstrPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // an unusable guard must not keep the service from running
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    m_nHandle = fd;
    return true;
}
