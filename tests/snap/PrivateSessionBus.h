#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A session bus of the test's own (dbus-daemon) and the programs it runs on it; everything
// launched ends with it.
class PrivateSessionBus
{
public:
    PrivateSessionBus() = default;
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // _blMachineServices: the machine's session services start on demand (the real portal
    // needs its permission store); otherwise only what the test launches is on the bus.
    bool start(bool _blMachineServices, int _nTimeoutMs = 10000);
    QString address() const { return m_qstrAddress; }
    QString folder() const { return m_dir.path(); }
    // This process's environment with the bus as session bus.
    QProcessEnvironment environment() const;
    // Starts a program with that environment plus _env, until it prints _qstrReady (empty: until
    // _qstrOwnedName is on the bus, or, without one, until it runs). Null when neither came within the bound.
    QProcess* launch(const QString& _qstrProgram, const QStringList& _listArgs,
                     const QProcessEnvironment& _env, const QString& _qstrReady,
                     const QString& _qstrOwnedName = QString(), int _nTimeoutMs = 20000);
    // Ends one program early; true once its name (when given) has left the bus.
    bool end(QProcess* _pProgram, const QString& _qstrOwnedName = QString());
    bool hasName(const QString& _qstrName) const;
    // The stand-in portal script beside this file.
    static QString standInPortal();
    QString errorString() const { return m_qstrError; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_pDaemon;
    std::vector<std::unique_ptr<QProcess>> m_vecPrograms;
    QString m_qstrAddress;
    QString m_qstrError;
};
