#pragma once

// Captures what the hub delivers to clients, without sockets, and notes whether each delivery
// happened on the main thread.

#include "core/JsonCommand.h"
#include "core/MessageService.h"

#include <QCoreApplication>
#include <QThread>
#include <QUuid>
#include <QtTest>

#include <mutex>
#include <optional>

struct Delivery
{
    QString client;
    JsonCommand envelope;
    bool onMainThread = false;
    qint64 atMs = 0;
};

class HubCapture
{
public:
    HubCapture()
    {
        m_timer.start();
        MessageService::Instance().SetObserver(
            [this](const QString& _qstrName, const JsonCommand& _envelope) {
                if (_qstrName == Envelope::kServiceName)
                    return;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_listDeliveries.append({_qstrName, _envelope,
                                         QThread::currentThread() == QCoreApplication::instance()->thread(),
                                         m_timer.elapsed()});
            });
    }
    ~HubCapture() { MessageService::Instance().SetObserver(nullptr); }

    QList<Delivery> ForGuid(const QString& _qstrGuid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QList<Delivery> found;
        for (const Delivery& d : m_listDeliveries)
            if (d.envelope.guid == _qstrGuid)
                found.append(d);
        return found;
    }

    // The first delivery for the guid, waiting (events flowing) up to the bound.
    std::optional<Delivery> WaitFor(const QString& _qstrGuid, int _nTimeoutMs)
    {
        if (!QTest::qWaitFor([&] { return !ForGuid(_qstrGuid).isEmpty(); }, _nTimeoutMs))
            return std::nullopt;
        return ForGuid(_qstrGuid).first();
    }

private:
    std::mutex m_mutex;
    QElapsedTimer m_timer;
    QList<Delivery> m_listDeliveries;
};

inline JsonCommand MakeRequest(const QString& _qstrCommand, const QString& _qstrData = QString(),
                               const QString& _qstrType = Envelope::kCommand)
{
    JsonCommand request;
    request.type = _qstrType;
    request.command = _qstrCommand;
    request.data = _qstrData;
    request.from = QStringLiteral("test_client");
    request.guid = QUuid::createUuid().toString();
    request.userdata = QStringLiteral("ud-") + request.guid.mid(1, 8);
    return request;
}
