#include "network/NetworkCommandRun.h"
#include "core/LogCategories.h"

#include "core/Logger.h"
#include "network/HttpProbe.h"
#include "network/NetworkManager.h"
#include "network/ProbeScheduler.h"

#include <QDebug>
#include <QNetworkAccessManager>

NetworkCommandRun::NetworkCommandRun(const JsonCommand& _request, const QStringList& _listUrls, Kind _kind,
                                     ProbeScheduler& _scheduler)
    : m_request(_request), m_kind(_kind), m_listUrls(_listUrls), m_scheduler(_scheduler)
{
}

void NetworkCommandRun::start()
{
    if (Logger::IsWritten(QtDebugMsg)) {
        qCDebug(lcNetwork).noquote() << "jsonCommandTemp.data==" +
                                            QString::fromUtf8(Logger::ClipForLog(m_request.data.toUtf8()));
        qCDebug(lcNetwork) << "body.m_qmapNetworkResult.count==" << m_listUrls.size();
    }
    // Without addresses there is nothing to learn from a probe.
    if (m_listUrls.isEmpty() || m_kind == Kind::PublicNetwork) {
        TestNext();
        return;
    }
    m_blPublicPending = true;
    AskTurn();
}

void NetworkCommandRun::requestStop()
{
    MarkStopRequested();
}

void NetworkCommandRun::TestNext()
{
    if (IsStopRequested()) {
        Finish(TaskResult{});
        return;
    }
    // Addresses that need no request are settled here, without a turn of the event loop each.
    while (m_nNext < m_listUrls.size()) {
        const QString& url = m_listUrls.at(m_nNext);
        if (m_kind == Kind::PostInterface)
            qCDebug(lcNetwork).noquote() << "item.key==" + url;
        if (m_kind == Kind::PublicNetwork) {
            AskTurn();
            return;
        }
        if (!m_blPublicOk) {
            m_answer.m_qmapNetworkResult.insert(url, kPublicNetworkDown);
        } else if (!HttpProbe::IsContactable(QUrl(url))) {
            m_answer.m_qmapNetworkResult.insert(url, kAddressFailed);
        } else {
            AskTurn();
            return;
        }
        ++m_nNext;
    }
    Finish(TaskResult{0, QString(), m_answer.ToString(), {}});
}

void NetworkCommandRun::AskTurn()
{
    m_scheduler.Queue(m_request.from, [this] { RunProbe(); });
}

void NetworkCommandRun::RunProbe()
{
    // A turn granted after a stop is handed on at once.
    if (IsStopRequested()) {
        m_scheduler.Release(m_request.from);
        Finish(TaskResult{});
        return;
    }
    m_pNam = new QNetworkAccessManager(this);
    auto done = [this](bool _blOk) { ProbeDone(_blOk); };
    const NetworkManager& monitor = NetworkManager::Instance();
    if (m_blPublicPending || m_kind == Kind::PublicNetwork)
        monitor.CheckPublicNetwork(*m_pNam, this, done);
    else if (m_kind == Kind::GetInterface)
        monitor.GetInterface(*m_pNam, m_listUrls.at(m_nNext), {}, this, done);
    else
        monitor.PostInterface(*m_pNam, m_listUrls.at(m_nNext), {}, {}, this, done);
}

void NetworkCommandRun::ProbeDone(bool _blOk)
{
    // Called from the reply's own signal: the manager, and the reply with it, go once it returns.
    m_pNam->deleteLater();
    m_pNam = nullptr;
    m_scheduler.Release(m_request.from);
    if (m_blPublicPending) {
        m_blPublicPending = false;
        m_blPublicOk = _blOk;
        TestNext();
    } else if (m_kind == Kind::PublicNetwork) {
        Record(_blOk ? kReachable : kPublicNetworkDown);
    } else {
        Record(_blOk ? kReachable : kAddressFailed);
    }
}

void NetworkCommandRun::Record(int _nCode)
{
    m_answer.m_qmapNetworkResult.insert(m_listUrls.at(m_nNext), _nCode);
    ++m_nNext;
    TestNext();
}
