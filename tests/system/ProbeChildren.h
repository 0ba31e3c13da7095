#pragma once

// Child processes for the system tests: copies of the probe child under names no other process
// on the machine has, started and awaited with bounds.

#include "system/ProcessHelper.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>
#include <vector>

class ProbeChildren
{
public:
    ProbeChildren() { m_dir.setAutoRemove(true); }
    ~ProbeChildren()
    {
        for (const QString& name : m_listNames)
            ProcessHelper::KillProcess(name);
        for (auto& process : m_vecProcesses) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    // A copy of the probe child named "<prefix>_<random>", longer than the 15 bytes a comm holds.
    QString makeProgram(const QString& _qstrPrefix = QStringLiteral("qorv_probe"))
    {
        const QString name =
            _qstrPrefix + QLatin1Char('_') + QUuid::createUuid().toString(QUuid::Id128).left(10);
        const QString path = m_dir.filePath(name);
        if (!QFile::copy(QStringLiteral(QORV_PROBE_CHILD), path))
            return QString();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_listNames.append(name);
        return path;
    }

    // A shell script of that name that runs a tied sleeping probe child and waits for it.
    QString makeScript()
    {
        const QString name = QStringLiteral("qorv_script_") +
                             QUuid::createUuid().toString(QUuid::Id128).left(10) + QStringLiteral(".sh");
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write("#!/bin/sh\n\"" + QFile::encodeName(QStringLiteral(QORV_PROBE_CHILD)) + "\" sleep\n");
        file.close();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_listNames.append(name);
        return path;
    }

    // Starts the program and waits for _nReady "ready <pid>" lines (one per process it starts);
    // returns those pids, empty when they did not come.
    QList<qint64> start(const QString& _qstrProgram, const QStringList& _listArgs, int _nReady = 1)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(_qstrProgram, _listArgs);
        if (!process->waitForStarted(10000))
            return {};
        QList<qint64> pids;
        QProcess* p = process.get();
        m_vecProcesses.push_back(std::move(process));
        (void)QTest::qWaitFor(
            [&] {
                while (p->canReadLine()) {
                    const QByteArray line = p->readLine().trimmed();
                    if (line.startsWith("ready "))
                        pids.append(line.mid(6).toLongLong());
                }
                return pids.size() >= _nReady || p->state() == QProcess::NotRunning;
            },
            20000);
        return pids.size() >= _nReady ? pids : QList<qint64>();
    }

    // Output of a started program that was not taken as a "ready" line.
    QByteArray readAllOutput(int _nIndex) { return m_vecProcesses.at(_nIndex)->readAll(); }

    QString dir() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QStringList m_listNames;
    std::vector<std::unique_ptr<QProcess>> m_vecProcesses;
};

// True while the pid names a process that has not ended (a zombie has ended).
inline bool isAlive(qint64 _nPid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(_nPid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z' && text.at(close + 2) != 'X';
}

// Pids of live processes whose executable has this file name, read from /proc by the test itself.
inline QList<qint64> pidsOfExecutable(const QString& _qstrName)
{
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok &&
            QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName() ==
                _qstrName &&
            isAlive(pid))
            pids.append(pid);
    }
    return pids;
}
