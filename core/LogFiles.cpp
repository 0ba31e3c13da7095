#include "core/LogFiles.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {
constexpr QIODevice::OpenMode kOpenMode = QIODevice::ReadWrite | QIODevice::Append;
} // namespace

Result<> LogFiles::Open(const QString& _qstrDataRoot)
{
    m_qstrStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    m_qstrFolder = _qstrDataRoot + QStringLiteral("/log/");
    m_logFolder = PrivateFolder::Open(_qstrDataRoot, {QStringLiteral("log")});
    if (!m_logFolder.IsValid())
        return Result<>::Failure(m_logFolder.Error());
    // An earlier folder's files are not written on when this one's cannot be opened.
    m_fileMain.close();
    m_fileJs.close();
    if (m_logFolder.OpenFile(m_fileMain, m_qstrStamp + QStringLiteral(".log"), kOpenMode))
        m_logFolder.OpenFile(m_fileJs, m_qstrStamp + QStringLiteral("_js.log"), kOpenMode);
    m_nMainBytes = m_fileMain.size();
    return {};
}

void LogFiles::Tidy()
{
    RemoveOldLogs(m_qstrFolder, QDateTime::currentDateTime());
    KeepWithinBound();
}

void LogFiles::SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes)
{
    m_nMaxTotalBytes = _nMaxTotalBytes;
    m_nMaxFileBytes = qMin(_nMaxFileBytes, _nMaxTotalBytes);
    if (m_fileMain.isOpen())
        KeepWithinBound();
}

void LogFiles::OpenNextPart()
{
    m_fileMain.close();
    // A part left by an earlier run in the same second is skipped, not appended to.
    QString name;
    do
        name = m_qstrStamp + QLatin1Char('-') + QString::number(m_nNextPart++) + QStringLiteral(".log");
    while (QFileInfo::exists(m_qstrFolder + name));
    m_logFolder.OpenFile(m_fileMain, name, kOpenMode);
    m_nMainBytes = 0;
}

void LogFiles::KeepWithinBound()
{
    // Room is kept for the main file, so the folder stays within its bound as it grows.
    RemoveOldestBeyond(m_qstrFolder, m_nMaxTotalBytes - m_nMaxFileBytes, m_fileMain.fileName());
}

qint64 LogFiles::WriteMain(const char* _pData, qint64 _nBytes)
{
    if (!m_fileMain.isOpen())
        return -1;
    const qint64 written = m_fileMain.write(_pData, _nBytes);
    m_fileMain.flush();
    return written;
}

int LogFiles::RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now)
{
    int removed = 0;
    const QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& info : files) {
        if (!info.fileName().endsWith(QLatin1String(".log")) || info.isSymLink())
            continue;
        const QDateTime written = info.lastModified();
        if (!written.isValid() || written.secsTo(_now) <= kMaxLogAgeSeconds)
            continue;
        if (QFile::remove(info.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

int LogFiles::RemoveOldestBeyond(const QString& _qstrFolder, qint64 _nMaxTotalBytes, const QString& _qstrKeep)
{
    // Filtered by suffix here: a name filter would compile a regular expression at every start.
    QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QFileInfo& _info) {
                                   return !_info.fileName().endsWith(QLatin1String(".log"),
                                                                     Qt::CaseInsensitive);
                               }),
                files.end());
    // Oldest first; parts written within the same moment go by their number ("-2" before "-10").
    std::sort(files.begin(), files.end(), [](const QFileInfo& _a, const QFileInfo& _b) {
        const QDateTime a = _a.lastModified();
        const QDateTime b = _b.lastModified();
        if (a != b)
            return a < b;
        const QString nameA = _a.fileName();
        const QString nameB = _b.fileName();
        return nameA.size() != nameB.size() ? nameA.size() < nameB.size() : nameA < nameB;
    });
    qint64 total = 0;
    for (const QFileInfo& info : files)
        total += info.size();
    int removed = 0;
    for (const QFileInfo& info : files) {
        if (total <= _nMaxTotalBytes)
            break;
        if (info.isSymLink() || info.absoluteFilePath() == QFileInfo(_qstrKeep).absoluteFilePath())
            continue;
        if (QFile::remove(info.absoluteFilePath())) {
            total -= info.size();
            ++removed;
        }
    }
    return removed;
}
