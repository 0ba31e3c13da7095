#include "network/ProbeScheduler.h"

#include <utility>

ProbeScheduler::ProbeScheduler(int _nPerClient, int _nTotal) : m_nPerClient(_nPerClient), m_nTotal(_nTotal) {}

int ProbeScheduler::Running(const QString& _qstrClient) const
{
    const auto it = m_hashClients.constFind(_qstrClient);
    return it == m_hashClients.cend() ? 0 : it->running;
}

int ProbeScheduler::Waiting(const QString& _qstrClient) const
{
    const auto it = m_hashClients.constFind(_qstrClient);
    return it == m_hashClients.cend() ? 0 : static_cast<int>(it->waiting.size());
}

void ProbeScheduler::Queue(const QString& _qstrClient, Start _start)
{
    Client& client = m_hashClients[_qstrClient];
    client.waiting.push_back(std::move(_start));
    MarkReady(_qstrClient, client);
    Grant();
}

void ProbeScheduler::Release(const QString& _qstrClient)
{
    const auto it = m_hashClients.find(_qstrClient);
    if (it == m_hashClients.end() || it->running == 0)
        return;
    --it->running;
    --m_nRunning;
    if (it->running == 0 && it->waiting.empty())
        m_hashClients.erase(it);
    else
        MarkReady(_qstrClient, *it);
    Grant();
}

void ProbeScheduler::MarkReady(const QString& _qstrClient, Client& _client)
{
    if (_client.ready || _client.waiting.empty() || _client.running >= m_nPerClient)
        return;
    _client.ready = true;
    m_dequeReady.push_back(_qstrClient);
}

void ProbeScheduler::Grant()
{
    // A probe that queues or ends from inside a start only changes the state; this loop, already
    // running further up, hands out whatever turn that frees.
    if (m_blGranting)
        return;
    m_blGranting = true;
    while (m_nRunning < m_nTotal && !m_dequeReady.empty()) {
        const QString name = std::move(m_dequeReady.front());
        m_dequeReady.pop_front();
        Client& client = m_hashClients[name];
        client.ready = false;
        Start start = std::move(client.waiting.front());
        client.waiting.pop_front();
        ++client.running;
        ++m_nRunning;
        // Back to the end of the line: every other waiting client gets a turn before its next.
        MarkReady(name, client);
        start();
    }
    m_blGranting = false;
}
