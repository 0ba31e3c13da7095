#pragma once

#include "core/JsonCommand.h"
#include "core/Task.h"
#include "network/CommandNetworkBody.h"

#include <QStringList>

class ProbeScheduler;
class QNetworkAccessManager;

// The processing of one accepted network command: its addresses are tested one at a time in
// address order, asynchronously, each bounded in time; the run finishes with the results once
// all are done. Every request waits for a turn of the requester's share (the scheduler, keyed by
// the command's "from"), so one client's slow addresses hold up only its own commands.
class NetworkCommandRun : public Task
{
    Q_OBJECT
public:
    enum class Kind { PublicNetwork, GetInterface, PostInterface };

    // _listUrls: the command's distinct addresses, in address order (its body, parsed).
    // _scheduler must outlive every turn the run asks for; a run destroyed before it finished
    // (the ability going away) must go after the scheduler.
    NetworkCommandRun(const JsonCommand& _request, const QStringList& _listUrls, Kind _kind,
                      ProbeScheduler& _scheduler);

    void start() override;
    // The request running now ends within its bound; no further one starts.
    void requestStop() override;

    // Result codes of each address in the answer.
    static constexpr int kReachable = 0;
    static constexpr int kPublicNetworkDown = 1;
    static constexpr int kAddressFailed = 2;

private:
    void TestNext();
    // Asks for a turn for the next request: the command's public test while m_blPublicPending,
    // else the one for the address at m_nNext.
    void AskTurn();
    void RunProbe();
    void ProbeDone(bool _blOk);
    void Record(int _nCode);

    JsonCommand m_request;
    Kind m_kind;
    QStringList m_listUrls;
    ProbeScheduler& m_scheduler;
    int m_nNext = 0;
    bool m_blPublicPending = false;
    bool m_blPublicOk = false;
    CommandNetworkBody m_answer;
    // Only for the request running now: a fresh manager per request never queues it behind
    // another's connections to the same host, and holds no thread while the run waits its turn.
    QNetworkAccessManager* m_pNam = nullptr;
};
