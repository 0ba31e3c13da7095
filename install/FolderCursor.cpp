#include "install/FolderCursor.h"

#include "core/Descriptor.h"

#include <QList>

// What the cursor does the same on every system: the folders it holds open, and how a move keeps
// those the new folder shares with the last. Opening one folder below another, and the size of an
// open file, are each system's own.

FolderCursor::~FolderCursor()
{
    for (const Level& level : m_levels)
        CloseDescriptor(level.nFd);
    if (m_nRoot >= 0)
        CloseDescriptor(m_nRoot);
}

bool FolderCursor::LinkedFileSize(const QByteArray& _baName, qint64& _nSize) const
{
    if (KindOf(_baName) != Kind::Link)
        return false;
    const Result<int> opened = OpenForReading(_baName);
    if (!opened)
        return false;
    const bool ok = SizeOfOpenFile(opened.Value(), _nSize);
    CloseDescriptor(opened.Value());
    return ok;
}

FolderCursor::Move FolderCursor::Enter(const QByteArray& _baFolder, bool _blCreate)
{
    if (m_blAtFolder && _baFolder == m_baFolder)
        return Move::Done;
    m_blAtFolder = false;
    if (m_nRoot < 0)
        return Move::Failed;
    const QList<QByteArray> names = _baFolder.split('/');
    // names[0] is the empty text before the leading '/'.
    size_t kept = 0;
    while (kept < m_levels.size() && static_cast<int>(kept) + 1 < names.size() &&
           m_levels[kept].baName == names.at(static_cast<int>(kept) + 1))
        ++kept;
    while (m_levels.size() > kept) {
        CloseDescriptor(m_levels.back().nFd);
        m_levels.pop_back();
    }
    for (int i = static_cast<int>(kept) + 1; i < names.size(); ++i) {
        const QByteArray& name = names.at(i);
        if (name.isEmpty())
            continue;
        int fd = -1;
        const Move move = OpenLevel(name, _blCreate, fd);
        if (move != Move::Done)
            return move;
        m_levels.push_back({name, fd});
    }
    m_baFolder = _baFolder;
    m_blAtFolder = true;
    return Move::Done;
}
