#include "install/ReplaceFileStep.h"
#include "core/LogCategories.h"

#include "core/FillPlaceholders.h"
#include "install/ReplaceHelper.h"
#include "install/ReplaceJournal.h"

#include <QDebug>
#include <QFile>

namespace {

bool IsInside(const QString& _qstrPath, const QString& _qstrRoot)
{
    return _qstrPath == _qstrRoot || _qstrPath.startsWith(_qstrRoot + QLatin1Char('/'));
}

QString FolderOf(const QString& _qstrPath)
{
    return _qstrPath.left(_qstrPath.lastIndexOf(QLatin1Char('/')));
}

// A detail text of the replace's vocabulary with its placeholders filled in.
template <typename... Args> QString Detail(const char* _szKey, const Args&... _args)
{
    return FillPlaceholders(ReplaceHelper::tr(_szKey), _args...);
}

} // namespace

ReplaceFileStep::ReplaceFileStep(const Tree& _tree, FolderCursor& _source, FolderCursor& _destination,
                                 FolderCursor& _saved, ReplaceJournal* _pJournal,
                                 const QString& _qstrTempSuffix, const std::atomic<bool>& _blStop,
                                 QStringList& _listSaved, QStringList& _listCreated)
    : m_tree(_tree), m_source(_source), m_destination(_destination), m_saved(_saved), m_pJournal(_pJournal),
      m_qstrTempSuffix(_qstrTempSuffix), m_baTempSuffix(QFile::encodeName(_qstrTempSuffix)),
      m_blStop(_blStop), m_listSaved(_listSaved), m_listCreated(_listCreated)
{
}

ReplaceFileStep::End ReplaceFileStep::Fail(const QString& _qstrDetail)
{
    m_qstrError = _qstrDetail;
    return End::Failed;
}

ReplaceFileStep::End ReplaceFileStep::Run(const QString& _qstrRelative, qint64 _nSize)
{
    const QString sourceFile = m_tree.qstrSource + _qstrRelative;
    const QString target = m_tree.qstrDestination + _qstrRelative;
    qCDebug(lcInstall).noquote() << "file:" + target + " size:" + QString::number(_nSize);

    const QByteArray encoded = QFile::encodeName(_qstrRelative);
    const int slash = encoded.lastIndexOf('/');
    const QByteArray folder = encoded.left(slash);
    const QByteArray name = encoded.mid(slash + 1);
    const Result<> entered = EnterFolder(m_destination, m_tree.qstrDestination, folder, target);
    if (!entered)
        return Fail(entered.Error());
    const FolderCursor::Kind kind = m_destination.KindOf(name);
    if (_nSize == 0) {
        // Folders and empty files: nothing is saved, copied or counted. The listed size wraps
        // at 4 GiB, so the file itself tells.
        qint64 actual = 0;
        if (m_source.Enter(folder, false) != FolderCursor::Move::Done)
            return End::Skipped;
        const FolderCursor::Kind sourceKind = m_source.KindOf(name, &actual);
        if (sourceKind == FolderCursor::Kind::Link && !m_source.LinkedFileSize(name, actual))
            return End::Skipped;
        if ((sourceKind != FolderCursor::Kind::File && sourceKind != FolderCursor::Kind::Link) || actual == 0)
            return End::Skipped;
    }
    if (kind == FolderCursor::Kind::Folder)
        return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));

    if (m_pJournal) {
        if (kind != FolderCursor::Kind::None) {
            const End saved = Save(_qstrRelative, folder, name, kind, target);
            if (saved != End::Copied)
                return saved;
        } else {
            qCWarning(lcInstall).noquote() << "des file not exist, no need backup this file:" + target;
            if (!m_pJournal->AddCreated(_qstrRelative))
                return Fail(Detail("WRITE_JOURNAL_FAILED", m_pJournal->Path()));
            m_listCreated.append(_qstrRelative);
        }
    }

    const QByteArray temp = name + m_baTempSuffix;
    Result<> copied = Result<>::Failure(QStringLiteral("cannot open the source folder"));
    if (m_source.Enter(folder, false) == FolderCursor::Move::Done)
        copied = m_destination.CopyIn(m_source, name, temp, &m_blStop);
    if (!copied) {
        m_destination.Remove(temp);
        if (m_blStop)
            return End::Stopped;
        qCCritical(lcInstall).noquote()
            << "ReplaceHelper::copy failed:" + sourceFile + " -> " + target + ":" + copied.Error();
        return Fail(Detail("COPY_FILE_FAILED", sourceFile, target));
    }
    return Commit(temp, name, sourceFile, target);
}

ReplaceFileStep::End ReplaceFileStep::Save(const QString& _qstrRelative, const QByteArray& _baFolder,
                                           const QByteArray& _baName, FolderCursor::Kind _kind,
                                           const QString& _qstrTarget)
{
    const QString savedFile = m_tree.qstrBackup + _qstrRelative;
    const Result<> entered = EnterFolder(m_saved, m_tree.qstrBackup, _baFolder, savedFile);
    if (!entered)
        return Fail(entered.Error());
    // The destination file is only ever replaced, never written in place, so a second name for
    // it keeps its previous bytes as well as a copy would.
    if (!m_destination.LinkTo(_baName, m_saved)) {
        const Result<> copied = SaveCopyIn(_kind, _baName, _qstrTarget, savedFile);
        if (!copied) {
            qCWarning(lcInstall).noquote()
                << "ReplaceHelper::backup failed:" + _qstrTarget + " -> " + savedFile + ":" + copied.Error();
            return Fail(Detail("COPY_FILE_FAILED", _qstrTarget, savedFile));
        }
    }
    if (!m_pJournal->AddSaved(_qstrRelative))
        return Fail(Detail("WRITE_JOURNAL_FAILED", m_pJournal->Path()));
    m_listSaved.append(_qstrRelative);
    return End::Copied;
}

ReplaceFileStep::End ReplaceFileStep::Commit(const QByteArray& _baTemp, const QByteArray& _baName,
                                             const QString& _qstrSourceFile, const QString& _qstrTarget)
{
    if (m_destination.RenameOver(_baTemp, _baName))
        return End::Copied;
    // The old file resists being replaced: make it writable, delete it, and as a last resort have
    // a separate process delete it.
    QFile targetFile(_qstrTarget);
    if (!targetFile.setPermissions(QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                   QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
        m_destination.Remove(_baTemp);
        return Fail(Detail("SET_PERMISSION_FAILED", _qstrTarget));
    }
    if (!targetFile.remove()) {
        const QString removeFailed = Detail("REMOVE_FILE_FAILED", _qstrTarget);
        qCWarning(lcInstall).noquote() << removeFailed << targetFile.error() << targetFile.errorString();
        if (!ReplaceHelper::ForceRemoveFile(_qstrTarget)) {
            m_destination.Remove(_baTemp);
            return Fail(removeFailed);
        }
    }
    if (!m_destination.RenameOver(_baTemp, _baName)) {
        m_destination.Remove(_baTemp);
        qCCritical(lcInstall).noquote()
            << "ReplaceHelper::rename failed:" + _qstrTarget + m_qstrTempSuffix + " -> " + _qstrTarget;
        return Fail(Detail("COPY_FILE_FAILED", _qstrSourceFile, _qstrTarget));
    }
    return End::Copied;
}

Result<> ReplaceFileStep::EnterFolder(FolderCursor& _cursor, const QString& _qstrRoot,
                                      const QByteArray& _baFolder, const QString& _qstrFile) const
{
    FolderCursor::Move move = _cursor.Enter(_baFolder, true);
    if (move == FolderCursor::Move::Linked) {
        // A linked folder is entered only where it leads inside the same tree, and then by the
        // path it leads to, again without following anything.
        const QString resolved = ReplaceHelper::ResolvePath(_qstrRoot + QFile::decodeName(_baFolder));
        if (!IsInside(resolved, _qstrRoot))
            return Result<>::Failure(Detail("PATH_OUTSIDE_FOLDER", _qstrFile));
        move = _cursor.Enter(QFile::encodeName(resolved.mid(_qstrRoot.length())), true);
    }
    if (move != FolderCursor::Move::Done)
        return Result<>::Failure(Detail("CREATE_PATH_FAILED", FolderOf(_qstrFile)));
    return {};
}

Result<> ReplaceFileStep::SaveCopyIn(FolderCursor::Kind _kind, const QByteArray& _baName,
                                     const QString& _qstrFrom, const QString& _qstrTo) const
{
    // A link is made again from its target text, by path as before.
    if (_kind != FolderCursor::Kind::File)
        return ReplaceHelper::SaveCopy(_qstrFrom, _qstrTo, m_qstrTempSuffix);
    const QByteArray temp = _baName + m_baTempSuffix;
    const Result<> copied = m_saved.CopyIn(m_destination, _baName, temp, nullptr);
    if (copied && m_saved.RenameOver(temp, _baName))
        return {};
    m_saved.Remove(temp);
    return copied ? Result<>::Failure(QStringLiteral("cannot rename ") + _qstrTo + m_qstrTempSuffix) : copied;
}
