#pragma once

#include "core/JsonCommand.h"
#include "core/Task.h"
#include "update/PreUninstAction.h"

#include <QString>
#include <QTimer>

// Makes sure an installed application is ready to be updated or uninstalled: the "pre_uninst"
// task, and the first step of every update. When its process runs, the application (the client
// logged in under its app id) is asked over the hub and may agree (200) or refuse (201 with a
// reason); silence past preUninstTimeout counts as consent. Once the way is clear its
// pre-uninstall action runs (bounded, off the main thread). It finishes once: 100 "ready to
// unstall", 101 "cannot unstall" with the reason, or -4 when the worker pool had no room for the
// search of the action.
class UninstallPrepareHelper : public Task
{
    Q_OBJECT
public:
    UninstallPrepareHelper(const QString& _qstrAppId, const QString& _qstrProcessName,
                           const QString& _qstrGuid);

    void start() override;
    // Stops waiting for the application; an action already under way is let end (it is bounded)
    // and the task finishes after it.
    void requestStop() override;

    // The application's answer, handed over by the owner for this task's guid.
    void OnRecvMessage(const JsonCommand& _jsonCommand);

public slots:
    void SlotTimeout();

private:
    void DoPreUninstAction();
    void Ready();
    void NotReady(const QString& _qstrMessage);
    // Sends the question as a transfer from the service to the application's client.
    void AskApplication();

    QString m_qstrAppId;
    QString m_qstrProcessName;
    QString m_qstrGuid;
    QTimer m_timer;
    PreUninstAction m_action;
    // The question is settled (answered, timed out or not asked): later answers change nothing.
    bool m_blSettled = false;
    // The search for the action, or the action itself, is under way.
    bool m_blPreparing = false;
};
