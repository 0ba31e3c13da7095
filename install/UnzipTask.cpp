#include "install/UnzipTask.h"

#include "core/PercentFilter.h"
#include "core/TaskCodes.h"

UnzipTask::UnzipTask(const QString& _qstrArchive, const QString& _qstrDestination, const QString& _qstrId)
    : m_qstrArchive(_qstrArchive), m_qstrDestination(_qstrDestination), m_qstrId(_qstrId)
{
    // Direct: the helper emits on its thread, and Report/Finish are safe there.
    connect(
        &m_unzip, &ZlibHelper::signUnzipProgress, this,
        [this](qint64 _nDone, qint64 _nTotal, const QString&) {
            Report(PercentFilter::Percent(_nDone, _nTotal));
        },
        Qt::DirectConnection);
    connect(
        &m_unzip, &ZlibHelper::signUnzipFinished, this,
        [this](const QString&) {
            Finish(TaskResult{TaskCodes::kFinish, TaskCodes::Text(TaskCodes::kFinish), {}, {}});
        },
        Qt::DirectConnection);
    connect(
        &m_unzip, &ZlibHelper::signErrorOccurred, this,
        [this](const QString& _qstrError, const QString&) {
            Finish(TaskResult{TaskCodes::kFailed, _qstrError, {}, {}});
        },
        Qt::DirectConnection);
}

UnzipTask::~UnzipTask()
{
    m_unzip.CancelUnzipTask();
}

void UnzipTask::start()
{
    m_unzip.startUnzip(m_qstrArchive, m_qstrDestination, m_qstrId);
}

void UnzipTask::requestStop()
{
    MarkStopRequested();
    m_unzip.requestStop();
}
