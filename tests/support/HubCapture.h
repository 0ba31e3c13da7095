#pragma once

#include "core/JsonCommand.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <mutex>
#include <optional>

// One envelope the hub handed to a client (or to the service itself).
struct Delivery
{
    QString client;
    JsonCommand envelope;
    bool onMainThread = false;
    qint64 atMs = 0;
};

// Captures what the hub delivers, without sockets, from its construction to its destruction,
// on whichever thread the delivery happens.
class HubCapture
{
public:
    HubCapture();
    ~HubCapture();
    HubCapture(const HubCapture&) = delete;
    HubCapture& operator=(const HubCapture&) = delete;

    // Deliveries to clients (not to the service itself) of envelopes with this guid.
    QList<Delivery> ForGuid(const QString& _qstrGuid);
    // The first of them, waiting (events flowing) up to the bound.
    std::optional<Delivery> WaitFor(const QString& _qstrGuid, int _nTimeoutMs);
    // Deliveries to one client so far; Take also forgets them.
    QList<Delivery> To(const QString& _qstrClient);
    QList<Delivery> Take(const QString& _qstrClient);
    // Takes deliveries to the client until there are at least _nCount, bounded.
    QList<Delivery> TakeAtLeast(const QString& _qstrClient, int _nCount, int _nTimeoutMs);
    void Clear();

private:
    std::mutex m_mutex;
    QElapsedTimer m_timer;
    QList<Delivery> m_listDeliveries;
};

// The envelopes alone, in order.
QList<JsonCommand> Envelopes(const QList<Delivery>& _listDeliveries);

// A command as a client named "test_client" sends it, with a new guid and userdata.
JsonCommand MakeRequest(const QString& _qstrCommand, const QString& _qstrData = QString(),
                        const QString& _qstrType = Envelope::kCommand);
