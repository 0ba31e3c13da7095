#pragma once

#include "core/JsonCommand.h"
#include "core/WebSocket_Server.h"
#include "core/ZmqServer.h"

#include <QDateTime>
#include <QMap>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

// The hub: every envelope enters through OnMessageReceived, is answered exactly once and is
// routed to the registered clients. Callable from any thread.
class AbilityManager;

class MessageService
{
public:
    static MessageService& Instance();

    // ZeroMQ first, then WebSocket; each failure is logged and the other still starts.
    void Start(const QString& _qstrPort, const QString& _qstrWsPort);
    void Stop();

    // Which way an envelope came in: a login holds only for the transport that carried it.
    enum class Via { Local, Zmq, WebSocket };
    void OnMessageReceived(const QByteArray& _baClient, const QByteArray& _baText, Via _via = Via::Local);
    // An envelope the service itself sends (an ability's answer or question): routed as a client's
    // would be from "message_service", but neither parsed nor written again. _baText, when given,
    // is its wire form, relayed as it is; its data may then be left out of _jsonCommand.
    void Post(const JsonCommand& _jsonCommand, const QByteArray& _baText = QByteArray());
    // Bytes handed to the transports for clients and not yet written to their connections.
    qint64 UnsentBytes();
    void SendToClient(const QString& _qstrName, const JsonCommand& _jsonCommand);

    QMap<QString, QStringList> Registry();
    WebSocket_Server& WebSocket() { return m_webSocketServer; }
    ZmqServer& Zmq() { return m_zmqServer; }

    // Sees every delivery before the transports; lets tests observe the hub without sockets.
    using Observer = std::function<void(const QString& _qstrName, const JsonCommand& _jsonCommand)>;
    void SetObserver(Observer _observer);

    // Where envelopes for "message_service" itself go: the manager of the service's abilities
    // (it sets itself when main makes it, before Start, and clears itself when it goes). Its
    // Receive is called on whichever thread delivers.
    void SetAbilities(AbilityManager* _pManager) { m_pAbilities = _pManager; }
    // The answer data of "command_catalog": how each of the service's own commands answers.
    void SetCatalog(const QByteArray& _baCatalog);

    // Distinct names one transfer may list in "to".
    static constexpr int kMaxRecipients = 1024;

private:
    MessageService() = default;

    struct Outcome
    {
        QString answerType;
        qint64 errorCode = 0;
        QString data;
        QStringList recipients;      // copies of the request, delivered before the answer
        bool toManagerAfter = false; // a command for the manager, handed over after the answer
    };
    // _baText: the envelope as it came, for the log; _blRelayText: recipients get it unchanged.
    void Dispatch(const QByteArray& _baClient, JsonCommand& _request, const QByteArray& _baText,
                  bool _blRelayText, Via _via);
    Outcome Route(const QByteArray& _baClient, const JsonCommand& _request, Via _via);
    void AnswerQuery(const JsonCommand& _request, Outcome& _out);
    void Login(const QString& _qstrClient, const JsonCommand& _request, Via _via);
    // The sender is the connection logged in under its name, not just one that bears the name
    // (a ZeroMQ routing identity can be any name, logged in or not).
    bool IsLoggedIn(const QString& _qstrClient, Via _via) const;
    QString FindCommandOwner(const QString& _qstrCommand) const;
    // _baText, when not null, is the envelope already serialised.
    void SendToClient(const QString& _qstrName, const JsonCommand& _jsonCommand, const QByteArray& _baText);
    void Deliver(const QString& _qstrName, const JsonCommand& _jsonCommand, const QByteArray& _baText);

    // The clients and their commands, and for each how and when it logged in.
    struct Session
    {
        Via via = Via::Local;
        QDateTime since;
    };
    // {"clients":[...],"tasks":[...]}; takes m_mutexRegistry for the copy of the sessions only.
    QString StatusText();

    mutable std::mutex m_mutexRegistry;
    QMap<QString, QStringList> m_mapRegistry;
    QMap<QString, Session> m_mapSessions;
    QString m_qstrCatalog;
    std::mutex m_mutexObserver;
    Observer m_observer;
    std::atomic<AbilityManager*> m_pAbilities{nullptr};
    ZmqServer m_zmqServer;
    WebSocket_Server m_webSocketServer;
};
