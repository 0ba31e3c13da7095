// File-system primitives of the replace on Linux: rename(2) over an existing name; linkat(2)
// without following links; statx(2) to name a folder by device, inode and birth
// time; fstat(2)/fchmod(2) for permission bits; the forced second deletion by a separate "rm"
// (BoundedChild).
#include "install/ReplaceHelper.h"
#include "core/LogCategories.h"

#include "core/BoundedChild.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kForceRemoveTimeoutMs = 30000;
}

bool ReplaceHelper::RenameOver(const QString& _qstrFrom, const QString& _qstrTo)
{
    return ::rename(QFile::encodeName(_qstrFrom).constData(), QFile::encodeName(_qstrTo).constData()) == 0;
}

bool ReplaceHelper::LinkFile(const QString& _qstrExisting, const QString& _qstrNewName)
{
    // Flags 0: a symbolic link gets a second name itself, its target is not touched.
    return ::linkat(AT_FDCWD, QFile::encodeName(_qstrExisting).constData(), AT_FDCWD,
                    QFile::encodeName(_qstrNewName).constData(), 0) == 0;
}

bool ReplaceHelper::CopyMode(int _nFrom, int _nTo)
{
    struct stat info;
    return ::fstat(_nFrom, &info) == 0 && ::fchmod(_nTo, info.st_mode & 07777) == 0;
}

bool ReplaceHelper::ForceRemoveFile(const QString& _qstrPath)
{
    // An argument list, never a shell line: the path reaches rm unchanged whatever it holds.
    const QList<QByteArray> arguments{"-f", "--", QFile::encodeName(_qstrPath)};
    const BoundedChild::Result result =
        BoundedChild::Run("rm", arguments, kForceRemoveTimeoutMs, 64 * 1024, true);
    if (!result.started || result.timedOut) {
        qCWarning(lcInstall).noquote()
            << "cmd process start failed:" + QString::fromLatin1(result.started ? "timed out" : "not started")
            << _qstrPath;
        return false;
    }
    if (!result.exitedNormally || result.exitCode != 0) {
        qCWarning(lcInstall) << "delete failed:code:" << result.exitCode << _qstrPath;
        qCWarning(lcInstall).noquote() << "error info:" + QString::fromLocal8Bit(result.output);
        return false;
    }
    // rm -f succeeds on a name that is already gone; only a vanished file counts.
    return !QFile::exists(_qstrPath) && !QFileInfo(_qstrPath).isSymLink();
}
