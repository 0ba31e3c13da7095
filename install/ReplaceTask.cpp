#include "install/ReplaceTask.h"

#include "core/PercentFilter.h"
#include "core/TaskCodes.h"

ReplaceTask::ReplaceTask(const QString& _qstrSource, const QString& _qstrDestination,
                         const QString& _qstrBackup, const QString& _qstrId)
    : m_qstrSource(_qstrSource), m_qstrDestination(_qstrDestination), m_qstrBackup(_qstrBackup),
      m_qstrId(_qstrId)
{
    // Direct: the helper emits on its thread, and Report/Finish are safe there.
    connect(
        &m_replace, &ReplaceHelper::signReplaceProgress, this,
        [this](qint64 _nDone, qint64 _nTotal, const QString&) {
            Report(PercentFilter::Percent(_nDone, _nTotal));
        },
        Qt::DirectConnection);
    connect(
        &m_replace, &ReplaceHelper::signReplaceFinished, this,
        [this](const QString&) {
            Finish(TaskResult{TaskCodes::kFinish, TaskCodes::Text(TaskCodes::kFinish), {}, {}});
        },
        Qt::DirectConnection);
    connect(
        &m_replace, &ReplaceHelper::signErrorOccurred, this,
        [this](const QString& _qstrError, const QString&) {
            Finish(TaskResult{TaskCodes::kFailed, _qstrError, {}, {}});
        },
        Qt::DirectConnection);
}

ReplaceTask::~ReplaceTask()
{
    m_replace.stopReplace();
}

void ReplaceTask::start()
{
    // An empty backup folder is the worker's to refuse, with its own error text.
    m_replace.startReplace(m_qstrSource, m_qstrDestination, QString(), true, m_qstrBackup, m_qstrId);
}

void ReplaceTask::requestStop()
{
    MarkStopRequested();
    m_replace.requestStop();
}
