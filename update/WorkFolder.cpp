#include "update/WorkFolder.h"
#include "core/LogCategories.h"

#include "core/ClientPath.h"
#include "core/FolderTree.h"
#include "core/WorkerPool.h"
#include "install/ReplaceJournal.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

bool IsOwned(const QString& _qstrPath)
{
    const QString canonical = QFileInfo(_qstrPath).canonicalFilePath();
    return !canonical.isEmpty() && ReplaceJournal::IsOwnedBackupFolder(canonical);
}

void InBackground(bool (*_pfnWork)(const QString&, const QString&), const QString& _qstrPath,
                  const QString& _qstrIdentity)
{
    // Owed to a run already over, so taken whatever the pool's queue holds.
    if (!WorkerPool::Service().SubmitOwed([=] { _pfnWork(_qstrPath, _qstrIdentity); })) {
        qCWarning(lcUpdate).noquote()
            << "WorkFolder::CleanUp:the worker pool has stopped, deleting here:" + _qstrPath;
        _pfnWork(_qstrPath, _qstrIdentity);
    }
}

} // namespace

WorkFolder::WorkFolder(const QString& _qstrPath) : m_qstrPath(QDir::cleanPath(_qstrPath))
{
    const QFileInfo info(m_qstrPath);
    m_qstrIdentity = FolderTree::Identity(m_qstrPath);
    if (!info.exists() && !info.isSymLink())
        m_kind = Kind::Missing;
    else if (!info.isDir() || info.isSymLink() || m_qstrIdentity.isEmpty())
        m_kind = Kind::NotFolder;
    else if (IsOwned(m_qstrPath))
        m_kind = Kind::Owned;
    // Another user's folder, even empty, is theirs to fill while the run extracts into it.
    else if (FolderTree::IsOurs(m_qstrPath) && FolderTree::IsEmpty(m_qstrPath, m_qstrIdentity))
        m_kind = Kind::Empty;
    else
        m_kind = Kind::Foreign;
}

bool WorkFolder::Prepare()
{
    if (!MayEmpty())
        return false;
    if (m_kind == Kind::Owned)
        return FolderTree::Empty(m_qstrPath, m_qstrIdentity);
    if (m_kind == Kind::Empty)
        return IsStillEmpty();
    if (m_blMade)
        return FolderTree::Empty(m_qstrPath, m_qstrIdentity);
    const QFileInfo info(m_qstrPath);
    if (info.exists() || info.isSymLink())
        return false;
    // Made one folder at a time below folders only the user (or root) may change, so nobody else
    // can put the folder, or what leads to it, somewhere of their choosing.
    const ClientPath made = ClientPath::OpenFolder(m_qstrPath, true);
    if (!made.IsValid()) {
        qCWarning(lcUpdate).noquote() << "WorkFolder::Prepare:refused:" + made.Error();
        return false;
    }
    m_qstrIdentity = FolderTree::Identity(m_qstrPath);
    const QString canonical = QFileInfo(m_qstrPath).canonicalFilePath();
    if (m_qstrIdentity.isEmpty() || canonical.isEmpty() || !made.IsStill(m_qstrPath))
        return false;
    ReplaceJournal::MarkOwnedBackupFolder(canonical);
    m_blMade = true;
    return true;
}

bool WorkFolder::IsStillEmpty() const
{
    return FolderTree::IsEmpty(m_qstrPath, m_qstrIdentity);
}

void WorkFolder::CleanUp() const
{
    if (m_qstrPath.isEmpty() || QDir(m_qstrPath).isRoot())
        return;
    QString identity = m_qstrIdentity;
    // Made during the run by a worker (the replacer makes the backup folder) and recorded there.
    if (m_kind == Kind::Missing && !m_blMade)
        identity = IsOwned(m_qstrPath) ? FolderTree::Identity(m_qstrPath) : QString();
    if (identity.isEmpty())
        return;
    if (m_kind == Kind::Empty) {
        InBackground(&FolderTree::Empty, m_qstrPath, identity);
        return;
    }
    if (m_kind != Kind::Owned && m_kind != Kind::Missing)
        return;
    // Moved aside first, so a next run that makes the same folder never meets the deletion.
    const QString aside = FolderTree::MoveAside(m_qstrPath, identity);
    if (aside.isEmpty())
        qCWarning(lcUpdate).noquote()
            << "WorkFolder::CleanUp:cannot move aside, deleting in place:" + m_qstrPath;
    InBackground(&FolderTree::Remove, aside.isEmpty() ? m_qstrPath : aside, identity);
}
