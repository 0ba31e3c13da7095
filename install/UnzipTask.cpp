#include "install/UnzipTask.h"

UnzipTask::UnzipTask(const QString& _qstrArchive, const QString& _qstrDestination, const QString& _qstrId)
    : m_qstrArchive(_qstrArchive), m_qstrDestination(_qstrDestination), m_qstrId(_qstrId)
{
    // Direct: the helper emits on its thread, and Report/Finish are safe there.
    ForwardReports(m_unzip, &ZlibHelper::signUnzipProgress, &ZlibHelper::signUnzipFinished,
                   &ZlibHelper::signErrorOccurred, Qt::DirectConnection);
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
