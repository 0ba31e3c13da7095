#include "install/ReplaceTask.h"

ReplaceTask::ReplaceTask(const QString& _qstrSource, const QString& _qstrDestination,
                         const QString& _qstrBackup, const QString& _qstrId)
    : m_qstrSource(_qstrSource), m_qstrDestination(_qstrDestination), m_qstrBackup(_qstrBackup),
      m_qstrId(_qstrId)
{
    // Direct: the helper emits on its thread, and Report/Finish are safe there.
    ForwardReports(m_replace, &ReplaceHelper::signReplaceProgress, &ReplaceHelper::signReplaceFinished,
                   &ReplaceHelper::signErrorOccurred, Qt::DirectConnection);
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
