#include "update/PreUninstAction.h"
#include "core/LogCategories.h"

#include "core/DescendantWatch.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

PreUninstAction::PreUninstAction(QObject* _pParent) : QObject(_pParent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PreUninstAction::SlotTimeout);
}

PreUninstAction::~PreUninstAction()
{
    // Kills the action's every process now; nothing is told.
    if (m_nGroup)
        DescendantWatch::Instance().Release(m_nGroup);
    if (m_pProcess) {
        m_pProcess->disconnect(this);
        if (m_pProcess->state() != QProcess::NotRunning) {
            m_pProcess->kill();
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
    m_blProcessEnded = false;
    m_blGroupEnded = false;
    m_blNormalExit = false;
    m_blKilled = false;
    m_blStartFailed = false;
    m_nLeftOver = 0;
    m_qstrScript = QFileInfo(_qstrScript).absoluteFilePath();
    delete m_pProcess;
    m_pProcess = CreateProcess(this);
    connect(m_pProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int _nCode, QProcess::ExitStatus _status) {
                qCDebug(lcUpdate) << "PreUninstAction:ended, code" << _nCode << "status" << _status;
                SlotProcessEnded(_status == QProcess::NormalExit);
            });
    connect(m_pProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError _error) {
        if (_error == QProcess::FailedToStart && m_blRunning && !m_blProcessEnded) {
            qCCritical(lcUpdate) << "PreUninstAction:failed to start:" << m_pProcess->errorString();
            m_blStartFailed = true;
            SlotProcessEnded(false);
        }
    });
    ConfigureProcess(*m_pProcess, _qstrScript);
    DescendantWatch& watch = DescendantWatch::Instance();
    // Opened before the start, so that no orphan of the action can slip past this process.
    m_nGroup = watch.Open([this](int _nLeftOver) { SlotGroupEnded(_nLeftOver); });
    m_timer.start(m_nTimeoutMs);
    m_pProcess->start();
    watch.SetRoot(m_nGroup, m_pProcess->processId());
}

void PreUninstAction::SlotTimeout()
{
    if (!m_blRunning)
        return;
    const QString script = m_qstrScript;
    if (m_blKilled) {
        qCCritical(lcUpdate).noquote()
            << QStringLiteral("PreUninstAction:processes still alive %1 ms after they were killed, going on:")
                       .arg(kKillGraceMs) +
                   script;
        // The watch goes on killing them, for nobody.
        if (m_nGroup)
            DescendantWatch::Instance().Release(m_nGroup);
        m_nGroup = 0;
        Finish(false);
        return;
    }
    qCCritical(lcUpdate).noquote() << QStringLiteral(
                                          "PreUninstAction:not ended within %1 ms, killed with its children:")
                                              .arg(m_nTimeoutMs) +
                                          script;
    m_blKilled = true;
    m_timer.start(kKillGraceMs);
    // Last: the run may be over when this returns.
    if (m_nGroup)
        DescendantWatch::Instance().Kill(m_nGroup);
}

void PreUninstAction::SlotProcessEnded(bool _blNormalExit)
{
    if (!m_blRunning || m_blProcessEnded)
        return;
    m_blProcessEnded = true;
    m_blNormalExit = _blNormalExit;
    if (m_blGroupEnded) {
        FinishWhenAllEnded();
        return;
    }
    // What the action left behind is looked for now rather than at the next tick; the run may be
    // over when this returns.
    DescendantWatch::Instance().Check();
}

void PreUninstAction::SlotGroupEnded(int _nLeftOver)
{
    m_nGroup = 0;
    m_blGroupEnded = true;
    m_nLeftOver = _nLeftOver;
    FinishWhenAllEnded();
}

void PreUninstAction::FinishWhenAllEnded()
{
    if (!m_blRunning || !m_blProcessEnded || !m_blGroupEnded)
        return;
    if (!m_blKilled && !m_blStartFailed && (!m_blNormalExit || m_nLeftOver > 0))
        qCCritical(lcUpdate).noquote()
            << QStringLiteral("PreUninstAction:its watcher was killed before it ended; %1 processes it left "
                              "running were killed:")
                       .arg(m_nLeftOver) +
                   m_qstrScript;
    Finish(!m_blKilled && m_blNormalExit && m_nLeftOver == 0);
}

void PreUninstAction::Finish(bool _blCompleted)
{
    m_blRunning = false;
    m_timer.stop();
    emit signFinished(_blCompleted);
}
