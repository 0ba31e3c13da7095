#include "core/Task.h"

Task::Task()
{
    qRegisterMetaType<TaskResult>("TaskResult");
}

Task::~Task() = default;

void Task::Report(double _dPercent, const QString& _qstrStatus)
{
    if (!m_blFinished.load())
        emit progress(_dPercent, _qstrStatus);
}

void Task::Finish(TaskResult _result)
{
    if (!m_blFinished.exchange(true))
        emit finished(_result);
}
