#include "update/UninstallPrepareHelper.h"
#include "core/LogCategories.h"

#include "core/Config.h"
#include "core/MessageService.h"
#include "install/CommonFunction.h"
#include "core/WorkerPool.h"
#include "system/ProcessHelper.h"

#include <QDebug>

const QString UninstallPrepareHelper::kBusy = Envelope::CoreErrorText(Envelope::kAbilityNotDealt);

UninstallPrepareHelper::UninstallPrepareHelper(const QString& _qstrAppId, const QString& _qstrProcessName,
                                               const QString& _qstrGuid)
    : m_qstrAppId(_qstrAppId), m_qstrProcessName(_qstrProcessName), m_qstrGuid(_qstrGuid)
{
    connect(&m_timer, &QTimer::timeout, this, &UninstallPrepareHelper::SlotTimeout);
    connect(&m_action, &PreUninstAction::signFinished, this, [this](bool _blCompleted) {
        if (!_blCompleted)
            qCCritical(lcUpdate).noquote()
                << "UninstallPrepareHelper::pre-uninstall action did not complete, going on:" + m_qstrAppId;
        Complete(true, QStringLiteral("prepared"));
    });
}

void UninstallPrepareHelper::Start(Callback _funcCallback)
{
    m_funcCallback = std::move(_funcCallback);
    if (!ProcessHelper::CheckProcessRunning(m_qstrProcessName)) {
        m_blSettled = true;
        DoPreUninstAction();
        return;
    }
    JsonCommand question;
    question.type = Envelope::kTransfer;
    question.command = QStringLiteral("pre_uninst");
    question.guid = m_qstrGuid;
    question.to = QStringList{m_qstrAppId};
    question.from = Envelope::kServiceName;
    MessageService::Instance().Post(question);
    m_timer.start(Config::Instance().GetPreUninstTimeout());
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
    if (_jsonCommand.guid != m_qstrGuid) {
        qCCritical(lcUpdate).noquote()
            << "UninstallPrepareHelper::OnRecvMessage:unkonwn guid:" + _jsonCommand.guid;
        m_blSettled = true;
        Complete(false, QStringLiteral("fatal error:invalid guid"));
        return;
    }
    m_blSettled = true;
    m_timer.stop();
    if (_jsonCommand.error_code == 200) {
        DoPreUninstAction();
    } else if (_jsonCommand.error_code == 201) {
        Complete(false, _jsonCommand.error_string);
    } else {
        qCCritical(lcUpdate).noquote() << "UninstallPrepareHelper::OnRecvMessage:unkonwn code:" +
                                              QString::number(_jsonCommand.error_code);
        Complete(false,
                 QStringLiteral("fatal error:invalid code:") + QString::number(_jsonCommand.error_code));
    }
}

void UninstallPrepareHelper::SlotTimeout()
{
    m_timer.stop();
    if (!m_funcCallback) {
        qCCritical(lcUpdate).noquote()
            << "UninstallPrepareHelper::SlotTimeout: timeout, no callback been set:" + m_qstrAppId;
        return;
    }
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
    const bool queued = WorkerPool::Service().Run(
        this, [name, folder] { return CommonFunction::FindFile(name, folder); },
        [this, name, folder](QString _qstrPath) {
            if (_qstrPath.isEmpty()) {
                qCDebug(lcUpdate).noquote() << "qstrPreUninstActionPath not found:" + name + " in " + folder;
                Complete(true, QStringLiteral("prepared"));
                return;
            }
            qCDebug(lcUpdate).noquote() << "qstrPreUninstActionPath found:" + _qstrPath;
            m_action.Start(_qstrPath);
        });
    if (!queued) {
        qCCritical(lcUpdate).noquote()
            << "UninstallPrepareHelper::the worker pool refused the search:" + m_qstrAppId;
        Complete(false, kBusy);
    }
}

void UninstallPrepareHelper::Complete(bool _blReady, const QString& _qstrMessage)
{
    if (!m_funcCallback)
        return;
    // Called once: a second completion would start a second update.
    Callback callback = std::move(m_funcCallback);
    m_funcCallback = nullptr;
    callback(_blReady, _qstrMessage);
}
