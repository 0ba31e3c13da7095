// Resolves paths the way the kernel will when files are created: lstat(2) finds the part that
// exists, realpath(3) follows its links (Windows would use GetFinalPathNameByHandleW).
#include "install/ZipEntryGuard.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

bool ZipEntryGuard::IsLink(const QByteArray& _baAbsolute)
{
    struct stat st;
    return lstat(_baAbsolute.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

QByteArray ZipEntryGuard::ResolveExisting(const QByteArray& _baAbsolute, bool* _pblWhole)
{
    QByteArray existing = _baAbsolute;
    QByteArray missing;
    struct stat st;
    while (lstat(existing.constData(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return QByteArray();
        const int slash = existing.lastIndexOf('/');
        if (slash <= 0) {
            missing = existing.mid(slash < 0 ? 0 : 1) + (missing.isEmpty() ? QByteArray() : '/' + missing);
            existing = "/";
            break;
        }
        missing = existing.mid(slash + 1) + (missing.isEmpty() ? QByteArray() : '/' + missing);
        existing.truncate(slash);
    }
    if (_pblWhole)
        *_pblWhole = missing.isEmpty();
    char resolved[PATH_MAX];
    if (!realpath(existing.constData(), resolved))
        return QByteArray();
    QByteArray out(resolved);
    if (!missing.isEmpty())
        out += (out.endsWith('/') ? QByteArray() : QByteArray("/")) + missing;
    return out;
}
