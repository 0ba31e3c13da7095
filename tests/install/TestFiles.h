#pragma once

// Small file helpers shared by the install tests.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>

// Writes the bytes, creating the folders on the way; fails the running test on a short write.
inline void WriteFile(const QString& _qstrPath, const QByteArray& _baData)
{
    QDir().mkpath(QFileInfo(_qstrPath).absolutePath());
    QFile file(_qstrPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(_baData), qint64(_baData.size()));
}

// The file's bytes, or "<missing>" so a comparison names the absence.
inline QByteArray ReadFile(const QString& _qstrPath)
{
    QFile file(_qstrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Permission bits of the entry itself (a link is not followed); 0 when there is none.
inline uint FileMode(const QString& _qstrPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(_qstrPath).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
