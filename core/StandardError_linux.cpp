// systemd connects a unit's standard error to the journal and names that stream in JOURNAL_STREAM
// as "<device>:<inode>"; the variable alone proves nothing, since children inherit it while
// their standard error may lead elsewhere, so the descriptor itself is compared with it.
#include "core/StandardError.h"

#include <QByteArray>
#include <QtGlobal>

#include <sys/stat.h>
#include <unistd.h>

namespace StandardError {

Kind Detect()
{
    struct stat info = {};
    if (fstat(STDERR_FILENO, &info) != 0)
        return Kind::Other;
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (!stream.isEmpty() && stream == QByteArray::number(static_cast<qulonglong>(info.st_dev)) + ':' +
                                           QByteArray::number(static_cast<qulonglong>(info.st_ino)))
        return Kind::Journal;
    return isatty(STDERR_FILENO) == 1 ? Kind::Terminal : Kind::Other;
}

} // namespace StandardError
