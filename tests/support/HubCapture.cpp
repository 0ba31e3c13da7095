#include "tests/support/HubCapture.h"

#include "core/MessageService.h"

#include <QCoreApplication>
#include <QThread>
#include <QUuid>
#include <QtTest>

HubCapture::HubCapture()
{
    m_timer.start();
    MessageService::Instance().SetObserver([this](const QString& _qstrName, const JsonCommand& _envelope) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listDeliveries.append({_qstrName, _envelope,
                                 QThread::currentThread() == QCoreApplication::instance()->thread(),
                                 m_timer.elapsed()});
    });
}

HubCapture::~HubCapture()
{
    MessageService::Instance().SetObserver(nullptr);
}

QList<Delivery> HubCapture::ForGuid(const QString& _qstrGuid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Delivery> found;
    for (const Delivery& delivery : qAsConst(m_listDeliveries))
        if (delivery.envelope.guid == _qstrGuid && delivery.client != Envelope::kServiceName)
            found.append(delivery);
    return found;
}

std::optional<Delivery> HubCapture::WaitFor(const QString& _qstrGuid, int _nTimeoutMs)
{
    if (!QTest::qWaitFor([&] { return !ForGuid(_qstrGuid).isEmpty(); }, _nTimeoutMs))
        return std::nullopt;
    return ForGuid(_qstrGuid).first();
}

QList<Delivery> HubCapture::To(const QString& _qstrClient)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Delivery> found;
    for (const Delivery& delivery : qAsConst(m_listDeliveries))
        if (delivery.client == _qstrClient)
            found.append(delivery);
    return found;
}

QList<Delivery> HubCapture::Take(const QString& _qstrClient)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Delivery> taken;
    for (auto it = m_listDeliveries.begin(); it != m_listDeliveries.end();)
        if (it->client == _qstrClient) {
            taken.append(*it);
            it = m_listDeliveries.erase(it);
        } else
            ++it;
    return taken;
}

QList<Delivery> HubCapture::TakeAtLeast(const QString& _qstrClient, int _nCount, int _nTimeoutMs)
{
    QList<Delivery> all;
    (void)QTest::qWaitFor(
        [&] {
            all += Take(_qstrClient);
            return all.size() >= _nCount;
        },
        _nTimeoutMs);
    return all;
}

void HubCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listDeliveries.clear();
}

QList<JsonCommand> Envelopes(const QList<Delivery>& _listDeliveries)
{
    QList<JsonCommand> envelopes;
    for (const Delivery& delivery : _listDeliveries)
        envelopes.append(delivery.envelope);
    return envelopes;
}

JsonCommand MakeRequest(const QString& _qstrCommand, const QString& _qstrData, const QString& _qstrType)
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
