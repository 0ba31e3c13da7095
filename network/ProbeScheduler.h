#pragma once

#include <QHash>
#include <QString>

#include <deque>
#include <functional>

// Turns for the network requests made on clients' behalf, shared fairly: at most a share of one
// client's requests run at once and at most a total of everyone's. A client's requests start in
// the order it asked for them, so a client flooding with slow addresses holds up only its own.
// When the total is what holds them back, the clients waiting are served one request each, in
// the order they began to wait. Main thread only.
//
// The scheduler does not bound what waits: each pending command has at most one request
// waiting, so its owner bounds the waiting by bounding the commands it accepts.
class ProbeScheduler
{
public:
    using Start = std::function<void()>;

    ProbeScheduler(int _nPerClient, int _nTotal);

    // _start is called when the request's turn comes: inside this call when a turn is free, or
    // later from a Release. A started request holds its turn until Release.
    void Queue(const QString& _qstrClient, Start _start);
    // One of the client's running requests has ended; its turn goes to whoever waits longest.
    void Release(const QString& _qstrClient);

    int Running(const QString& _qstrClient) const;
    int Waiting(const QString& _qstrClient) const;
    int RunningTotal() const { return m_nRunning; }

private:
    struct Client
    {
        int running = 0;
        std::deque<Start> waiting;
        bool ready = false; // in m_dequeReady
    };

    // Puts the client in line for a turn when it has a request waiting and its share is not used up.
    void MarkReady(const QString& _qstrClient, Client& _client);
    void Grant();

    const int m_nPerClient;
    const int m_nTotal;
    int m_nRunning = 0;
    QHash<QString, Client> m_hashClients; // only clients with a request running or waiting
    std::deque<QString> m_dequeReady;     // clients that could start a request, in the order they became so
    bool m_blGranting = false;
};
