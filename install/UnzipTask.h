#pragma once

#include "core/Task.h"
#include "install/ZlibHelper.h"

#include <QString>

// One extraction as a task of the install ability. The helper reports from its own thread;
// Report and Finish may be called from there.
class UnzipTask : public Task
{
    Q_OBJECT
public:
    UnzipTask(const QString& _qstrArchive, const QString& _qstrDestination, const QString& _qstrId);
    // Joins the extraction thread (it has ended by then, or ends within one chunk).
    ~UnzipTask() override;

    void start() override;
    // Sets the helper's stop flag only: its thread abandons the entry being written, removes its
    // partial file and reports USER_STOPED, which becomes the result.
    void requestStop() override;

    ZlibHelper& Worker() { return m_unzip; }

private:
    ZlibHelper m_unzip;
    QString m_qstrArchive;
    QString m_qstrDestination;
    QString m_qstrId;
};
