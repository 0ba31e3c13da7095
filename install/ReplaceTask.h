#pragma once

#include "core/Task.h"
#include "install/ReplaceHelper.h"

#include <QString>

// One folder replace, saving what it overwrites into a backup folder, as a task of the install
// ability. The helper reports from its own thread; Report and Finish may be called from there.
class ReplaceTask : public Task
{
    Q_OBJECT
public:
    ReplaceTask(const QString& _qstrSource, const QString& _qstrDestination, const QString& _qstrBackup,
                const QString& _qstrId);
    // Joins the worker, which puts back what a run still going had saved (at shutdown).
    ~ReplaceTask() override;

    void start() override;
    // The worker restores what the run saved on its own thread, then reports USER_STOPED, which
    // becomes the result.
    void requestStop() override;

    ReplaceHelper& Worker() { return m_replace; }

private:
    ReplaceHelper m_replace;
    QString m_qstrSource;
    QString m_qstrDestination;
    QString m_qstrBackup;
    QString m_qstrId;
};
