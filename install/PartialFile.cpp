#include "install/PartialFile.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QFileInfo>

PartialFile::~PartialFile()
{
    Discard();
}

Result<> PartialFile::OpenFolder(const QString& _qstrTarget)
{
    m_parent = ClientPath::OpenParent(_qstrTarget, true);
    if (!m_parent.IsValid())
        return Result<>::Failure(m_parent.Error());
    return {};
}

bool PartialFile::Open()
{
    m_nSize = 0;
    const QFileInfo finalInfo(m_parent.Path() + QLatin1Char('/') + m_parent.Name());
    if ((finalInfo.isDir() && !finalInfo.isSymLink()) ||
        (finalInfo.exists() && !finalInfo.isSymLink() && !finalInfo.isWritable())) {
        qCWarning(lcInstall).noquote()
            << "Downloader::OpenTempFile:target is a folder or not writable:" + finalInfo.filePath();
        return false;
    }
    // A link at the target is replaced, never written through.
    m_pFile = std::make_unique<QFile>();
    if (!m_parent.CreateTemp(*m_pFile, m_baTemp, 0666)) {
        qCWarning(lcInstall).noquote() << "Downloader::OpenTempFile:open failed:" + m_parent.Error();
        m_pFile.reset();
        return false;
    }
    return true;
}

qint64 PartialFile::Write(const QByteArray& _baData)
{
    const qint64 written = m_pFile->write(_baData);
    if (written == _baData.size())
        m_nSize += written;
    return written;
}

bool PartialFile::Restart()
{
    if (!m_pFile->resize(0) || !m_pFile->seek(0))
        return false;
    m_nSize = 0;
    return true;
}

bool PartialFile::Commit()
{
    m_pFile->close();
    const bool closed = m_pFile->error() == QFileDevice::NoError;
    m_pFile.reset();
    // No fsync: the file is as durable as one written in place, and syncing 512 MiB costs more
    // than the whole MD5 check.
    if (!closed || !m_parent.CommitTemp(m_baTemp)) {
        qCCritical(lcInstall).noquote() << "Downloader::CommitFile:failed:" + m_parent.Error();
        m_parent.RemoveTemp(m_baTemp);
        m_baTemp.clear();
        return false;
    }
    m_baTemp.clear();
    return true;
}

void PartialFile::Discard()
{
    if (!m_pFile)
        return;
    m_pFile->close();
    m_pFile.reset();
    m_parent.RemoveTemp(m_baTemp);
    m_baTemp.clear();
}

QString PartialFile::ErrorString() const
{
    return m_pFile ? m_pFile->errorString() : QString();
}
