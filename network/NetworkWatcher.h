#pragma once

#include "network/InterfaceSnapshot.h"
#include "network/NetworkChangeNotifier.h"

#include <QObject>
#include <QTimer>

// Turns the platform's raw change events into the monitor's four events: once a burst has
// settled, the interfaces are compared with how they were before it.
class NetworkWatcher : public QObject
{
    Q_OBJECT
public:
    explicit NetworkWatcher(QObject* _pParent = nullptr);

    // False when the platform gives no events; the monitor then learns of no changes.
    bool Start();

    // How long the events of one change may keep arriving before the interfaces are compared.
    static constexpr int kSettleMs = 500;

signals:
    void SignOnlineStateChanged(bool _blIsOnline);
    void SignConfigurationAdded(QString _qstrName);
    void SignConfigurationChanged(QString _qstrName);
    void SignConfigurationRemoved(QString _qstrName);

private:
    void Compare();

    NetworkChangeNotifier m_notifier;
    QTimer m_timerSettle;
    InterfaceSnapshot m_snapshot;
};
