#include "install/ReplaceJournal.h"
#include "core/LogCategories.h"

#include "core/FolderTree.h"
#include "core/PrivateFolder.h"

#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QTextStream>
#include <QUuid>

#include <mutex>

namespace {

const QString kOwnedFileName = QStringLiteral("owned-backup-folders");

std::mutex& OwnedMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

// The state folder, or one of its subfolders, opened and checked as private to the user.
PrivateFolder OpenState(const QStringList& _listParts = {})
{
    const QString state = ReplaceJournal::StateFolder();
    return PrivateFolder::Open(QFileInfo(state).absolutePath(),
                               QStringList{QFileInfo(state).fileName()} + _listParts);
}

QByteArray LineOf(const QJsonObject& _jsonObj)
{
    return QJsonDocument(_jsonObj).toJson(QJsonDocument::Compact) + '\n';
}

QStringList ReadOwnedLocked()
{
    QFile file(ReplaceJournal::StateFolder() + QLatin1Char('/') + kOwnedFileName);
    QStringList folders;
    if (!file.open(QIODevice::ReadOnly))
        return folders;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty())
            folders.append(QString::fromUtf8(line));
    return folders;
}

} // namespace

ReplaceJournal::~ReplaceJournal()
{
    // Closing keeps the file: only Remove() says the run needs no roll-back.
    m_file.close();
}

QString ReplaceJournal::StateFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/qorv-utility-service"));
}

QString ReplaceJournal::JournalFolder()
{
    return StateFolder() + QStringLiteral("/replace-journal");
}

Result<> ReplaceJournal::Begin(const QString& _qstrId, const QString& _qstrDestination,
                               const QString& _qstrBackup, const QString& _qstrTempSuffix)
{
    const PrivateFolder folder = OpenState({QStringLiteral("replace-journal")});
    if (!folder.IsValid())
        return Result<>::Failure(folder.Error());
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".journal");
    // Unbuffered: every line reaches the kernel in one write, so it survives the process dying.
    if (!folder.OpenFile(m_file, name, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return Result<>::Failure(folder.Path() + QLatin1Char('/') + name);
    QJsonObject header;
    header.insert(QStringLiteral("id"), _qstrId);
    header.insert(QStringLiteral("dest"), _qstrDestination);
    header.insert(QStringLiteral("backup"), _qstrBackup);
    header.insert(QStringLiteral("tmp"), _qstrTempSuffix);
    const QByteArray line = LineOf(header);
    if (m_file.write(line) != line.size()) {
        const QString path = m_file.fileName();
        m_file.close();
        m_file.remove();
        return Result<>::Failure(path);
    }
    qCDebug(lcInstall).noquote() << "ReplaceJournal::Begin:" + m_file.fileName() +
                                        " dest:" + _qstrDestination;
    return {};
}

bool ReplaceJournal::Append(char _chKind, const QString& _qstrRelative)
{
    if (!m_file.isOpen())
        return false;
    QJsonObject entry;
    entry.insert(QString(QLatin1Char(_chKind)), _qstrRelative);
    const QByteArray line = LineOf(entry);
    return m_file.write(line) == line.size();
}

void ReplaceJournal::Remove()
{
    if (m_file.fileName().isEmpty())
        return;
    m_file.close();
    if (!m_file.remove())
        qCCritical(lcInstall).noquote()
            << "ReplaceJournal::Remove:failed:" + m_file.fileName() + ":" + m_file.errorString();
    m_file.setFileName(QString());
}

bool ReplaceJournal::Read(const QString& _qstrPath, Record& _record)
{
    QFile file(_qstrPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty())
        return false;
    const QJsonObject header = QJsonDocument::fromJson(lines.first()).object();
    _record = Record();
    _record.qstrPath = _qstrPath;
    _record.qstrId = header.value(QStringLiteral("id")).toString();
    _record.qstrDestination = header.value(QStringLiteral("dest")).toString();
    _record.qstrBackup = header.value(QStringLiteral("backup")).toString();
    _record.qstrTempSuffix = header.value(QStringLiteral("tmp")).toString();
    if (!QDir::isAbsolutePath(_record.qstrDestination) || !QDir::isAbsolutePath(_record.qstrBackup) ||
        _record.qstrTempSuffix.isEmpty())
        return false;
    for (int i = 1; i < lines.size(); ++i) {
        // A line without its newline was cut short; it was never followed by a change.
        if (i == lines.size() - 1)
            break;
        const QJsonObject entry = QJsonDocument::fromJson(lines.at(i)).object();
        const QString saved = entry.value(QStringLiteral("s")).toString();
        const QString created = entry.value(QStringLiteral("n")).toString();
        if (!saved.isEmpty())
            _record.listSaved.append(saved);
        else if (!created.isEmpty())
            _record.listCreated.append(created);
    }
    return true;
}

int ReplaceJournal::RollBackInterruptedRuns(const Restorer& _restore)
{
    const QDir folder(JournalFolder());
    const QStringList names = folder.entryList({QStringLiteral("*.journal")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QString path = folder.filePath(name);
        Record record;
        if (!Read(path, record)) {
            qCCritical(lcInstall).noquote() << "ReplaceJournal::RollBack:unreadable journal removed:" + path;
            QFile::remove(path);
            continue;
        }
        qCWarning(lcInstall).noquote()
            << QStringLiteral("ReplaceJournal::RollBack:task[%1] dest[%2] backup[%3] saved:%4 created:%5")
                   .arg(record.qstrId, record.qstrDestination, record.qstrBackup)
                   .arg(record.listSaved.size())
                   .arg(record.listCreated.size());
        const RestoreResult result = _restore(record);
        qCWarning(lcInstall).noquote()
            << QStringLiteral("ReplaceJournal::RollBack:task[%1] restored %2 of %3 files, %4 failed")
                   .arg(record.qstrId)
                   .arg(result.nRestored)
                   .arg(record.listSaved.size())
                   .arg(result.nFailed);
        // Kept only while a roll-back is unfinished; an attempt that failed is not retried
        // later, when it could put old bytes over files changed since.
        QFile::remove(path);
    }
    return names.size();
}

bool ReplaceJournal::IsOwnedBackupFolder(const QString& _qstrCanonicalFolder)
{
    const QString identity = FolderTree::Identity(_qstrCanonicalFolder);
    if (identity.isEmpty())
        return false;
    std::lock_guard<std::mutex> lock(OwnedMutex());
    return ReadOwnedLocked().contains(identity + QLatin1Char('\t') + _qstrCanonicalFolder);
}

void ReplaceJournal::MarkOwnedBackupFolder(const QString& _qstrCanonicalFolder)
{
    const QString identity = FolderTree::Identity(_qstrCanonicalFolder);
    if (identity.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(OwnedMutex());
    // Forget folders that are gone or were made anew by someone else, so the list stays short
    // and never vouches for a folder the service did not make.
    QStringList kept;
    for (const QString& line : ReadOwnedLocked()) {
        const QString folder = line.section(QLatin1Char('\t'), 1);
        if (folder != _qstrCanonicalFolder &&
            line.section(QLatin1Char('\t'), 0, 0) == FolderTree::Identity(folder))
            kept.append(line);
    }
    kept.append(identity + QLatin1Char('\t') + _qstrCanonicalFolder);
    const Result<> written =
        OpenState().WriteFile(kOwnedFileName, kept.join(QLatin1Char('\n')).toUtf8() + '\n');
    if (!written)
        qCCritical(lcInstall).noquote()
            << "ReplaceJournal::MarkOwnedBackupFolder:cannot write:" + StateFolder() + QLatin1Char('/') +
                   kOwnedFileName + ":" + written.Error();
}
