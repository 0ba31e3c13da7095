#pragma once

#include "core/JsonCommand.h"
#include "update/PreUninstAction.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Makes sure an installed application is ready to be updated or uninstalled. When its process
// runs, the application (the client logged in under its app id) is asked over the hub and may
// agree (200) or refuse (201 with a reason); silence past preUninstTimeout counts as consent.
// Once the way is clear its pre-uninstall action runs (bounded, off the caller's thread) and the
// callback reports readiness. The callback is called once.
class UninstallPrepareHelper : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(bool _blReady, const QString& _qstrMessage)>;

    UninstallPrepareHelper(const QString& _qstrAppId, const QString& _qstrProcessName,
                           const QString& _qstrGuid);

    void Start(Callback _funcCallback);

    // The message of a completion that is no refusal by the application: the worker pool had no
    // room for the search (the requester gets the hub's -4).
    static const QString kBusy;
    // The application's answer, handed over by the owner for this helper's guid.
    void OnRecvMessage(const JsonCommand& _jsonCommand);

public slots:
    void SlotTimeout();

private:
    void DoPreUninstAction();
    void Complete(bool _blReady, const QString& _qstrMessage);

    Callback m_funcCallback;
    QString m_qstrAppId;
    QString m_qstrProcessName;
    QString m_qstrGuid;
    QTimer m_timer;
    PreUninstAction m_action;
    // The question is settled (answered, timed out or not asked): later answers change nothing.
    bool m_blSettled = false;
};
