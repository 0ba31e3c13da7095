// File-system primitives of the replace on Linux: rename(2) over an existing name, linkat(2)
// without following links, and the forced second deletion through a separate "rm" process.
#include "install/ReplaceHelper.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <fcntl.h>
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

bool ReplaceHelper::ForceRemoveFile(const QString& _qstrPath)
{
    // An argument list, never a shell line: the path reaches rm unchanged whatever it holds.
    const QStringList arguments{QStringLiteral("-f"), QStringLiteral("--"), _qstrPath};
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("rm"), arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(kForceRemoveTimeoutMs) || !process.waitForFinished(kForceRemoveTimeoutMs)) {
        qWarning().noquote() << "cmd process start failed:" + process.errorString() << arguments;
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(1000);
        }
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "delete failed:code:" << process.exitCode() << arguments;
        qWarning().noquote() << "error info:" + QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }
    // rm -f succeeds on a name that is already gone; only a vanished file counts.
    return !QFile::exists(_qstrPath) && !QFileInfo(_qstrPath).isSymLink();
}
