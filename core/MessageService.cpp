#include "core/MessageService.h"
#include "core/AbilityManager.h"
#include "core/LogCategories.h"

#include "core/BusinessProcessor.h"
#include "core/CanonicalEnvelope.h"
#include "core/Config.h"
#include "core/JsonReader.h"
#include "core/Logger.h"
#include "core/TaskRegistry.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

MessageService& MessageService::Instance()
{
    static MessageService s_service;
    return s_service;
}

void MessageService::Start(const QString& _qstrPort, const QString& _qstrWsPort)
{
    const Config& config = Config::Instance();
    const QString bind = config.GetBindAddress();
    if (bind != QLatin1String("127.0.0.1") && bind != QLatin1String("localhost") &&
        bind != QLatin1String("::1"))
        qCCritical(lcCore)
            << "MessageService::Start:ZeroMQ bound beyond loopback, reachable from the network:" << bind;
    m_zmqServer.Start(bind == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : bind, _qstrPort,
                      config.GetMaxMessageBytes(), [this](const QByteArray& client, const QByteArray& body) {
                          OnMessageReceived(client, body, Via::Zmq);
                      });
    m_webSocketServer.StartServer(_qstrWsPort, [this](const QByteArray& client, const QByteArray& text) {
        OnMessageReceived(client, text, Via::WebSocket);
    });
}

void MessageService::Stop()
{
    m_zmqServer.Stop();
    m_webSocketServer.StopServer();
}

void MessageService::SetObserver(Observer _observer)
{
    std::lock_guard<std::mutex> lock(m_mutexObserver);
    m_observer = std::move(_observer);
}

QMap<QString, QStringList> MessageService::Registry()
{
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    return m_mapRegistry;
}

static QString TraceTo(const QStringList& _listTo)
{
    QString text;
    for (const QString& name : _listTo)
        text += name + QLatin1Char(';');
    return text;
}

void MessageService::OnMessageReceived(const QByteArray& _baClient, const QByteArray& _baText, Via _via)
{
    JsonCommand request;
    // A text already in the form the hub writes goes to its recipients as it came.
    const bool canonical = CanonicalEnvelope::Read(_baText, request);
    if (!canonical) {
        request = JsonCommand();
        request.LoadFromString(_baText);
    }
    Dispatch(_baClient, request, _baText, canonical, _via);
}

void MessageService::Post(const JsonCommand& _jsonCommand, const QByteArray& _baText)
{
    const QByteArray text = _baText.isNull() ? _jsonCommand.ToString() : _baText;
    if (text.isEmpty())
        return; // too large to be one message; ToString has said so
    JsonCommand request = _jsonCommand;
    Dispatch(Envelope::kServiceName.toUtf8(), request, text, true, Via::Local);
}

qint64 MessageService::UnsentBytes()
{
    return m_zmqServer.UnsentTotal() + m_webSocketServer.UnsentBytes();
}

void MessageService::Dispatch(const QByteArray& _baClient, JsonCommand& _request, const QByteArray& _baText,
                              bool _blRelayText, Via _via)
{
    // As the debug stream would write them, spaces between the parts included.
    const QByteArray clipped = Logger::ClipForLog(_baText);
    QByteArray line;
    line.reserve(64 + 2 * (_baClient.size() + clipped.size()));
    line.append("strClient =  ");
    Logger::AppendQuoted(line, _baClient);
    line.append("  strMsg =  ");
    Logger::AppendQuoted(line, clipped);
    Logger::WriteLine(lcCore(), QtWarningMsg, line);
    if (Config::Instance().IsDebugMode())
        emit BusinessProcessor::Instance().SignRecvMsg(BusinessProcessor::TraceLine(
            QStringLiteral("type:") + _request.type + QStringLiteral("\tcommand:") + _request.command +
            QStringLiteral("\tfrom:") + _request.from + QStringLiteral("\tto:") + TraceTo(_request.to)));
    const Outcome outcome = Route(_baClient, _request, _via);
    bool toManager = outcome.toManagerAfter;
    // Serialised once for every recipient, unless the text came in the form it would be written in.
    QByteArray requestText = _blRelayText ? _baText : QByteArray();
    for (const QString& name : outcome.recipients) {
        if (name == Envelope::kServiceName) {
            toManager = true;
            continue;
        }
        if (requestText.isNull())
            requestText = _request.ToString();
        SendToClient(name, _request, requestText);
    }

    JsonCommand answer;
    answer.from = Envelope::kServiceName;
    answer.type = outcome.answerType;
    answer.command = _request.command;
    answer.guid = _request.guid;
    answer.userdata = _request.userdata;
    answer.data = outcome.data;
    answer.error_code = outcome.errorCode;
    answer.error_string = Envelope::CoreErrorText(outcome.errorCode);
    const QByteArray answerText = answer.ToString();
    Logger::WriteLine(lcCore(), QtWarningMsg,
                      "MessageService::OnMessageReceived ret: " +
                          Logger::QuotedUtf8(Logger::ClipForLog(answerText)));
    SendToClient(QString::fromUtf8(_baClient), answer, answerText);
    // The manager is handed its copy after the answer, so the answer always precedes whatever
    // the manager sends back from the main thread.
    if (toManager) {
        // "from" stays as sent, so answers reach whoever asked; an ability that acts on who sent
        // it (a consent) reads the connection logged in under that name, or nobody.
        const QString client = QString::fromUtf8(_baClient);
        _request.verified_sender = !client.isEmpty() && IsLoggedIn(client, _via) ? client : QString();
        SendToClient(Envelope::kServiceName, _request);
    }
}

MessageService::Outcome MessageService::Route(const QByteArray& _baClient, const JsonCommand& _request,
                                              Via _via)
{
    Outcome out;
    out.answerType = Envelope::AnswerType(_request.type);
    const QString client = QString::fromUtf8(_baClient);
    if (_via != Via::Local && _request.from == Envelope::kServiceName) {
        // The service's own name: a client writing it could pass for the service's questions
        // and results to the clients it reaches.
        out.errorCode = Envelope::kTypeNotCorrect;
    } else if (_request.type == Envelope::kNotify) {
        if (_request.command == Envelope::kLogin)
            Login(client, _request, _via);
        else if (_request.command == Envelope::kLogout) {
            std::lock_guard<std::mutex> lock(m_mutexRegistry);
            m_mapRegistry.remove(client);
            m_mapSessions.remove(client);
        }
    } else if (_request.type == Envelope::kQuery) {
        AnswerQuery(_request, out);
    } else if (_request.type == Envelope::kCommand) {
        const QString owner = FindCommandOwner(_request.command);
        if (owner.isNull())
            out.errorCode = Envelope::kAbilityNotFound;
        else {
            out.data = QStringLiteral("ok");
            if (owner == Envelope::kServiceName)
                out.toManagerAfter = true;
            else
                out.recipients.append(owner);
        }
    } else if (_request.type == Envelope::kTransfer) {
        if (_request.iscast) {
            std::lock_guard<std::mutex> lock(m_mutexRegistry);
            out.recipients = m_mapRegistry.keys();
        } else {
            // Each name once, and a bound on how far one envelope fans out.
            out.recipients = _request.to;
            if (out.recipients.size() > 1)
                out.recipients.removeDuplicates();
            if (out.recipients.size() > kMaxRecipients) {
                out.recipients.clear();
                out.errorCode = Envelope::kTypeNotCorrect;
            }
        }
    } else {
        out.errorCode = Envelope::kTypeNotCorrect;
    }
    return out;
}

// The hub's own queries; one branch per query name.
void MessageService::AnswerQuery(const JsonCommand& _request, Outcome& _out)
{
    // Asks the transports, which must not wait for the registry.
    if (_request.command == Envelope::kStatus) {
        _out.data = StatusText();
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    if (_request.command == Envelope::kAbilities) {
        QStringList all;
        for (const QStringList& names : m_mapRegistry)
            all += names;
        QJsonObject body;
        body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(all));
        _out.data = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    } else if (_request.command == Envelope::kAbility) {
        bool found = false;
        for (const QStringList& names : m_mapRegistry)
            found = found || names.contains(_request.data);
        if (found)
            _out.data = _request.data;
        else
            _out.errorCode = Envelope::kAbilityNotFound;
    } else if (_request.command == Envelope::kCatalog) {
        _out.data = m_qstrCatalog.isEmpty() ? QStringLiteral("{\"commands\":[]}") : m_qstrCatalog;
    }
}

QString MessageService::StatusText()
{
    QMap<QString, Session> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutexRegistry);
        sessions = m_mapSessions;
    }
    QJsonArray clients;
    for (auto it = sessions.constBegin(); it != sessions.constEnd(); ++it) {
        if (it.key() == Envelope::kServiceName)
            continue;
        const QString transport = it->via == Via::Zmq         ? QStringLiteral("zmq")
                                  : it->via == Via::WebSocket ? QStringLiteral("ws")
                                                              : QStringLiteral("local");
        // With its offset, so the time reads the same wherever the answer is shown.
        const QDateTime since = it->since.toOffsetFromUtc(it->since.offsetFromUtc());
        // A name stays registered until it logs out; whether anyone is still behind it:
        const QByteArray name = it.key().toUtf8();
        const bool connected = it->via == Via::WebSocket ? m_webSocketServer.HasClient(name)
                               : it->via == Via::Zmq     ? m_zmqServer.HasPeer(name)
                                                         : true;
        clients.append(QJsonObject{{QStringLiteral("name"), it.key()},
                                   {QStringLiteral("transport"), transport},
                                   {QStringLiteral("since"), since.toString(Qt::ISODate)},
                                   {QStringLiteral("connected"), connected}});
    }
    const QJsonObject body{{QStringLiteral("clients"), clients},
                           {QStringLiteral("tasks"), TaskRegistry::Instance().ToJson()}};
    return QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void MessageService::SetCatalog(const QByteArray& _baCatalog)
{
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    m_qstrCatalog = QString::fromUtf8(_baCatalog);
}

void MessageService::Login(const QString& _qstrClient, const JsonCommand& _request, Via _via)
{
    QStringList names;
    const auto body = JsonReader::ParseObject(_request.data.toUtf8(), "JsonSource::LoadFromString:");
    if (body) {
        qCWarning(lcCore) << "CommandMsgBody::LoadFromJson";
        JsonReader(*body).StringList("abilities", names);
    }
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    m_mapRegistry.insert(_qstrClient, names);
    m_mapSessions.insert(_qstrClient, Session{_via, QDateTime::currentDateTime()});
}

bool MessageService::IsLoggedIn(const QString& _qstrClient, Via _via) const
{
    if (_via == Via::Local)
        return true; // the service's own code and its debug window
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    const auto it = m_mapSessions.constFind(_qstrClient);
    return it != m_mapSessions.constEnd() && it->via == _via;
}

QString MessageService::FindCommandOwner(const QString& _qstrCommand) const
{
    const auto& registry = m_mapRegistry;
    std::lock_guard<std::mutex> lock(m_mutexRegistry);
    // The service's own commands always reach the ability manager, whatever other clients offer.
    const auto own = registry.constFind(Envelope::kServiceName);
    if (own != registry.constEnd() && own->contains(_qstrCommand))
        return Envelope::kServiceName;
    for (auto it = registry.constBegin(); it != registry.constEnd(); ++it)
        if (it->contains(_qstrCommand))
            return it.key();
    return QString();
}

void MessageService::SendToClient(const QString& _qstrName, const JsonCommand& _jsonCommand)
{
    SendToClient(_qstrName, _jsonCommand, QByteArray());
}

void MessageService::SendToClient(const QString& _qstrName, const JsonCommand& _jsonCommand,
                                  const QByteArray& _baText)
{
    if (Config::Instance().IsDebugMode())
        emit BusinessProcessor::Instance().SignSendMsg(BusinessProcessor::TraceLine(
            QStringLiteral("type:") + _jsonCommand.type + QStringLiteral("\tcommand:") +
            _jsonCommand.command + QStringLiteral("\t:from:") + _jsonCommand.from + QStringLiteral("\tto:") +
            _qstrName));
    {
        std::lock_guard<std::mutex> lock(m_mutexObserver);
        if (m_observer)
            m_observer(_qstrName, _jsonCommand);
    }
    Deliver(_qstrName, _jsonCommand, _baText);
}

void MessageService::Deliver(const QString& _qstrName, const JsonCommand& _jsonCommand,
                             const QByteArray& _baText)
{
    if (_qstrName == Envelope::kServiceName) {
        if (AbilityManager* abilities = m_pAbilities.load())
            abilities->Receive(_jsonCommand);
        return;
    }
    const QByteArray name = _qstrName.toUtf8();
    const QByteArray text = _baText.isNull() ? _jsonCommand.ToString() : _baText;
    if (m_webSocketServer.HasClient(name))
        m_webSocketServer.SendMsg(name, text);
    else
        m_zmqServer.Send(name, text);
}
