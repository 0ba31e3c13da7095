#include "network/NetworkWatcher.h"

NetworkWatcher::NetworkWatcher(QObject* _pParent) : QObject(_pParent)
{
    m_timerSettle.setSingleShot(true);
    m_timerSettle.setInterval(kSettleMs);
    connect(&m_notifier, &NetworkChangeNotifier::SignChanged, &m_timerSettle,
            static_cast<void (QTimer::*)()>(&QTimer::start));
    connect(&m_timerSettle, &QTimer::timeout, this, &NetworkWatcher::Compare);
}

bool NetworkWatcher::Start()
{
    m_snapshot = InterfaceSnapshot::Take();
    return m_notifier.Start();
}

void NetworkWatcher::Compare()
{
    const InterfaceSnapshot now = InterfaceSnapshot::Take();
    const InterfaceSnapshot::Difference difference = now.Since(m_snapshot);
    const bool wasOnline = m_snapshot.IsOnline();
    m_snapshot = now;
    if (now.IsOnline() != wasOnline)
        emit SignOnlineStateChanged(now.IsOnline());
    for (const QString& name : difference.removed)
        emit SignConfigurationRemoved(name);
    for (const QString& name : difference.added)
        emit SignConfigurationAdded(name);
    for (const QString& name : difference.changed)
        emit SignConfigurationChanged(name);
}
