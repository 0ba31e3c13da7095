// The parent's umask from the "Umask:" line of /proc/<ppid>/status (Linux 4.7 and later).
#include "core/UserUmask.h"

#include <QByteArray>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace UserUmask {

void Apply()
{
    QFile status(QStringLiteral("/proc/%1/status").arg(::getppid()));
    if (!status.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("Umask:"))
            continue;
        bool ok = false;
        const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
        if (ok && mask <= 0777)
            ::umask(static_cast<mode_t>(mask));
        return;
    }
}

} // namespace UserUmask
