#include "update/PreUninstAction.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QProcess>

PreUninstAction::PreUninstAction(QObject* _pParent) : QObject(_pParent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PreUninstAction::SlotTimeout);
}

PreUninstAction::~PreUninstAction()
{
    if (m_pProcess) {
        m_pProcess->disconnect(this);
        if (m_pProcess->state() != QProcess::NotRunning) {
            KillGroup(*m_pProcess);
            m_pProcess->waitForFinished(2000);
        }
    }
}

bool PreUninstAction::IsRunning() const
{
    return m_blRunning;
}

void PreUninstAction::Start(const QString& _qstrScript)
{
    if (m_blRunning)
        return;
    m_blRunning = true;
    delete m_pProcess;
    m_pProcess = CreateProcess(this);
    connect(m_pProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int _nCode, QProcess::ExitStatus _status) {
                qCDebug(lcUpdate) << "PreUninstAction:ended, code" << _nCode << "status" << _status;
                // A run killed at the bound has already been reported.
                if (m_blRunning)
                    Finish(_status == QProcess::NormalExit);
            });
    connect(m_pProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError _error) {
        if (_error == QProcess::FailedToStart && m_blRunning) {
            qCCritical(lcUpdate) << "PreUninstAction:failed to start:" << m_pProcess->errorString();
            Finish(false);
        }
    });
    ConfigureProcess(*m_pProcess, _qstrScript);
    m_timer.start(m_nTimeoutMs);
    m_pProcess->start();
}

void PreUninstAction::SlotTimeout()
{
    if (!m_blRunning)
        return;
    qCCritical(lcUpdate).noquote() << QStringLiteral(
                                          "PreUninstAction:not ended within %1 ms, killed with its children:")
                                              .arg(m_nTimeoutMs) +
                                          m_pProcess->arguments().value(0);
    KillGroup(*m_pProcess);
    Finish(false);
}

void PreUninstAction::Finish(bool _blCompleted)
{
    m_blRunning = false;
    m_timer.stop();
    emit signFinished(_blCompleted);
}
