#include "update/UpdateTask.h"
#include "core/LogCategories.h"

#include "core/PercentFilter.h"
#include "core/TaskCodes.h"
#include "install/PathClaim.h"
#include "update/ToolBox.h"
#include "update/UninstallPrepareHelper.h"
#include "update/UpdateStatus.h"

#include <QDebug>

using UpdateTool::StatusBody;
using UpdateTool::StatusText;
using UpdateTool::ToolBox;

UpdateTask::UpdateTask(const CommandAutoInstallToolBody& _body, const QString& _qstrGuid,
                       std::unique_ptr<PathClaim> _pClaim)
    : m_body(_body), m_qstrGuid(_qstrGuid), m_pClaim(std::move(_pClaim)),
      m_pHandshake(std::make_unique<UninstallPrepareHelper>(_body.appid, _body.processName, _qstrGuid))
{
    connect(m_pHandshake.get(), &Task::finished, this, &UpdateTask::OnPrepared);
}

// Out of line: the members' types are complete here.
UpdateTask::~UpdateTask() = default;

void UpdateTask::start()
{
    m_pHandshake->start();
}

void UpdateTask::requestStop()
{
    MarkStopRequested();
    if (m_blEnded)
        return;
    if (m_pToolBox)
        m_pToolBox->stopInstall();
    else
        m_pHandshake->requestStop();
}

void UpdateTask::OnRecvMessage(const JsonCommand& _jsonCommand)
{
    m_pHandshake->OnRecvMessage(_jsonCommand);
}

void UpdateTask::OnPrepared(const TaskResult& _result)
{
    m_blAsking = false;
    // Refused by the application, or no room to prepare: the update ends as the question did.
    if (_result.code != TaskCodes::kFinish) {
        End(_result);
        return;
    }
    if (IsStopRequested()) {
        End(TaskResult{TaskCodes::kFailed,
                       QStringLiteral("stopped"),
                       StatusBody(StatusText(UpdateTool::kPreparing)),
                       {}});
        return;
    }
    StartToolBox();
}

void UpdateTask::StartToolBox()
{
    // Only sets the percent filter's starting point at 0: nothing is sent.
    Report(0, StatusText(UpdateTool::kPreparing));
    m_pToolBox = std::make_unique<ToolBox>(m_body.appid, m_body, m_qstrGuid);
    connect(m_pToolBox.get(), &ToolBox::signProgress, this,
            [this](int _emStatus, qint64 _nDone, qint64 _nTotal, const QString&) {
                Report(PercentFilter::Percent(_nDone, _nTotal), StatusText(_emStatus));
            });
    connect(m_pToolBox.get(), &ToolBox::signFinished, this, [this](const QString&) {
        End(TaskResult{TaskCodes::kFinish,
                       TaskCodes::Text(TaskCodes::kFinish),
                       StatusBody(StatusText(UpdateTool::kFinished)),
                       {}});
    });
    connect(m_pToolBox.get(), &ToolBox::signErrorOccurred, this,
            [this](int _emStatus, const QString& _qstrError, const QString&) {
                End(TaskResult{TaskCodes::kFailed, _qstrError, StatusBody(StatusText(_emStatus)), {}});
            });
    qCDebug(lcUpdate).noquote() << "UpdateTask:ready, installing:" + m_qstrGuid;
    m_pToolBox->startInstall();
}

void UpdateTask::End(TaskResult _result)
{
    m_blEnded = true;
    Finish(std::move(_result));
}
