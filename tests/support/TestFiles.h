#pragma once

// Small file helpers shared by the tests.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QtTest>

#include <sys/stat.h>

// Writes the bytes, creating the folders on the way; fails the running test on a short write.
inline void WriteFile(const QString& _qstrPath, const QByteArray& _baData)
{
    QDir().mkpath(QFileInfo(_qstrPath).absolutePath());
    QFile file(_qstrPath);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(_qstrPath));
    QCOMPARE(file.write(_baData), qint64(_baData.size()));
}

// Files by path below a root ("/a/b.txt"), with their bytes.
using Tree = QMap<QString, QByteArray>;

inline void WriteTree(const QString& _qstrRoot, const Tree& _tree)
{
    for (auto it = _tree.cbegin(); it != _tree.cend(); ++it)
        WriteFile(_qstrRoot + it.key(), it.value());
}

// The file's bytes, or "<missing>" so a comparison names the absence.
inline QByteArray ReadFile(const QString& _qstrPath)
{
    QFile file(_qstrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
