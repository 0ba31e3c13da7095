#include "update/WorkFolder.h"

#include "core/ThreadStack.h"
#include "install/CommonFunction.h"
#include "install/ReplaceJournal.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <QtConcurrent>

namespace {

bool IsOwned(const QString& _qstrPath)
{
    const QString canonical = QFileInfo(_qstrPath).canonicalFilePath();
    return !canonical.isEmpty() && ReplaceJournal::IsOwnedBackupFolder(canonical);
}

void MarkOwned(const QString& _qstrPath)
{
    const QString canonical = QFileInfo(_qstrPath).canonicalFilePath();
    if (!canonical.isEmpty())
        ReplaceJournal::MarkOwnedBackupFolder(canonical);
}

void EmptyFolder(const QString& _qstrPath)
{
    const ThreadStack stack; // a pool thread, but a crash on it still leaves a report
    QDir dir(_qstrPath);
    for (const QFileInfo& entry :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.isDir() && !entry.isSymLink())
            CommonFunction::DeleteFolder(entry.absoluteFilePath());
        else
            CommonFunction::RemoveFile(entry.absoluteFilePath());
    }
}

} // namespace

WorkFolder::WorkFolder(const QString& _qstrPath) : m_qstrPath(QDir::cleanPath(_qstrPath))
{
    const QFileInfo info(m_qstrPath);
    if (!info.exists() && !info.isSymLink())
        m_kind = Kind::Missing;
    else if (!info.isDir() || info.isSymLink())
        m_kind = Kind::NotFolder;
    else if (QDir(m_qstrPath).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        m_kind = IsOwned(m_qstrPath) ? Kind::Owned : Kind::Empty;
    else
        m_kind = IsOwned(m_qstrPath) ? Kind::Owned : Kind::Foreign;
}

bool WorkFolder::Prepare()
{
    if (!MayEmpty())
        return false;
    if (m_kind == Kind::Owned && !CommonFunction::DeleteFolder(m_qstrPath))
        return false;
    if (m_kind == Kind::Empty)
        return QFileInfo(m_qstrPath).isDir();
    if (!QDir().mkpath(m_qstrPath))
        return false;
    MarkOwned(m_qstrPath);
    return true;
}

void WorkFolder::CleanUp() const
{
    if (m_qstrPath.isEmpty() || QDir(m_qstrPath).isRoot())
        return;
    if (m_kind == Kind::Empty) {
        QtConcurrent::run(&EmptyFolder, m_qstrPath);
        return;
    }
    if (m_kind != Kind::Owned && !(m_kind == Kind::Missing && IsOwned(m_qstrPath)))
        return;
    // Moved aside first, so a next run that makes the same folder never meets the deletion.
    const QString aside =
        m_qstrPath + QStringLiteral(".qorv-old-") + QUuid::createUuid().toString(QUuid::Id128);
    if (QDir().rename(m_qstrPath, aside)) {
        CommonFunction::DeleteFolderAsync(aside);
        return;
    }
    qWarning().noquote() << "WorkFolder::CleanUp:cannot move aside, deleting in place:" + m_qstrPath;
    CommonFunction::DeleteFolderAsync(m_qstrPath);
}
