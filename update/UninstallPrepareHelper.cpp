#include "update/UninstallPrepareHelper.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Config.h"
#include "core/TaskCodes.h"
#include "core/WorkerPool.h"
#include "install/CommonFunction.h"
#include "system/ProcessHelper.h"
#include "update/UpdateStatus.h"

#include <QDebug>

UninstallPrepareHelper::UninstallPrepareHelper(const QString& _qstrAppId, const QString& _qstrProcessName,
                                               const QString& _qstrGuid)
    : m_qstrAppId(_qstrAppId), m_qstrProcessName(_qstrProcessName), m_qstrGuid(_qstrGuid)
{
    connect(&m_timer, &QTimer::timeout, this, &UninstallPrepareHelper::SlotTimeout);
    connect(&m_action, &PreUninstAction::signFinished, this, [this](bool _blCompleted) {
        if (!_blCompleted)
            qCCritical(lcUpdate).noquote()
                << "UninstallPrepareHelper::pre-uninstall action did not complete, going on:" + m_qstrAppId;
        Ready();
    });
}

void UninstallPrepareHelper::start()
{
    if (!ProcessHelper::CheckProcessRunning(m_qstrProcessName)) {
        m_blSettled = true;
        DoPreUninstAction();
        return;
    }
    AskApplication();
    m_timer.start(Config::Instance().GetPreUninstTimeout());
}

void UninstallPrepareHelper::AskApplication()
{
    // The question has an answer's shape: a transfer from the service to one client, naming the
    // command and the guid, as if the application had asked.
    JsonCommand asker;
    asker.command = QStringLiteral("pre_uninst");
    asker.guid = m_qstrGuid;
    asker.from = m_qstrAppId;
    AbilityReply::Send(asker, 0);
}

void UninstallPrepareHelper::requestStop()
{
    MarkStopRequested();
    m_timer.stop();
    m_blSettled = true;
    if (!m_blPreparing)
        NotReady(QStringLiteral("stopped"));
}

void UninstallPrepareHelper::OnRecvMessage(const JsonCommand& _jsonCommand)
{
    // Only the application itself may consent to its own update: the connection logged in under
    // its app id, whatever "from" claims.
    if (_jsonCommand.verified_sender != m_qstrAppId) {
        qCWarning(lcUpdate).noquote()
            << "UninstallPrepareHelper::OnRecvMessage:answer from another client ignored:" +
                   (_jsonCommand.verified_sender.isEmpty() ? QStringLiteral("(not logged in)")
                                                           : _jsonCommand.verified_sender) +
                   " from:" + _jsonCommand.from + " app:" + m_qstrAppId;
        return;
    }
    if (m_blSettled) {
        qCWarning(lcUpdate).noquote()
            << "UninstallPrepareHelper::OnRecvMessage:already settled, answer ignored:" + m_qstrGuid;
        return;
    }
    m_blSettled = true;
    m_timer.stop();
    if (_jsonCommand.guid != m_qstrGuid) {
        qCCritical(lcUpdate).noquote()
            << "UninstallPrepareHelper::OnRecvMessage:unkonwn guid:" + _jsonCommand.guid;
        NotReady(QStringLiteral("fatal error:invalid guid"));
        return;
    }
    if (_jsonCommand.error_code == 200) {
        DoPreUninstAction();
    } else if (_jsonCommand.error_code == 201) {
        NotReady(_jsonCommand.error_string);
    } else {
        qCCritical(lcUpdate).noquote() << "UninstallPrepareHelper::OnRecvMessage:unkonwn code:" +
                                              QString::number(_jsonCommand.error_code);
        NotReady(QStringLiteral("fatal error:invalid code:") + QString::number(_jsonCommand.error_code));
    }
}

void UninstallPrepareHelper::SlotTimeout()
{
    m_timer.stop();
    if (m_blSettled)
        return;
    m_blSettled = true;
    qCCritical(lcUpdate).noquote() << "UninstallPrepareHelper::app reply timeout, force update!:" +
                                          m_qstrAppId;
    DoPreUninstAction();
}

void UninstallPrepareHelper::DoPreUninstAction()
{
    const QString name = Config::Instance().GetPreUninstAction();
    const QString folder = CommonFunction::GetDefaultInstallPath(m_qstrAppId);
    // The installation may hold any number of files: searched on the pool, never on this thread.
    m_blPreparing = WorkerPool::Service().Run(
        this, [name, folder] { return CommonFunction::FindFile(name, folder); },
        [this, name, folder](QString _qstrPath) {
            if (_qstrPath.isEmpty()) {
                qCDebug(lcUpdate).noquote() << "qstrPreUninstActionPath not found:" + name + " in " + folder;
                Ready();
                return;
            }
            qCDebug(lcUpdate).noquote() << "qstrPreUninstActionPath found:" + _qstrPath;
            m_action.Start(_qstrPath);
        });
    if (!m_blPreparing) {
        qCCritical(lcUpdate).noquote()
            << "UninstallPrepareHelper::the worker pool refused the search:" + m_qstrAppId;
        Finish(TaskResult{
            Envelope::kAbilityNotDealt, Envelope::CoreErrorText(Envelope::kAbilityNotDealt), QString(), {}});
    }
}

void UninstallPrepareHelper::Ready()
{
    m_blPreparing = false;
    Finish(TaskResult{TaskCodes::kFinish,
                      TaskCodes::Text(TaskCodes::kFinish),
                      UpdateTool::StatusBody(UpdateTool::StatusText(UpdateTool::kReadyToUninstall)),
                      {}});
}

void UninstallPrepareHelper::NotReady(const QString& _qstrMessage)
{
    Finish(TaskResult{TaskCodes::kFailed,
                      _qstrMessage,
                      UpdateTool::StatusBody(UpdateTool::StatusText(UpdateTool::kCannotUninstall)),
                      {}});
}
