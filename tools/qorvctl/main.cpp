// qorvctl: talks to the running service from a shell. Logs in over WebSocket or ZeroMQ, sends
// one request, prints every envelope that answers it as one JSON line, and exits when the task
// is over.
#include "core/AppPaths.h"
#include "core/Config.h"
#include "core/JsonCommand.h"
#include "tools/qorvctl/CtlTransport.h"
#include "tools/qorvctl/TaskRules.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QUuid>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,  // the service or the ability answered with a failure
    kExitUsage = 2,   // bad command line
    kExitConnect = 3, // no connection, login refused, or the connection closed
    kExitTimeout = 4, // the bound ran out before the task was over
};

volatile sig_atomic_t g_nStopSignal = 0;

void OnStopSignal(int _nSignal)
{
    g_nStopSignal = _nSignal;
}

const char* const kGeneralHelp =
    "Usage: qorvctl [OPTIONS] VERB [ARGS]\n"
    "\n"
    "Talks to the running qorv-utility-service: logs in, sends one request, prints every\n"
    "envelope that answers it as one JSON line on standard output, and exits when it is over.\n"
    "\n"
    "Verbs:\n"
    "  send COMMAND [DATA]          ask an ability to do something and wait for its result\n"
    "  abilities                    list every command the logged-in clients offer\n"
    "  ability NAME                 is the command NAME offered? (exit 1 when not)\n"
    "  transfer --to A,B DATA       relay DATA to the named clients\n"
    "  cast DATA                    relay DATA to every logged-in client\n"
    "  listen                       stay logged in and print every envelope that arrives\n"
    "  help [VERB]                  this text, or a verb's own\n"
    "\n"
    "Options:\n"
    "  --ws | --zmq                 transport (default --ws)\n"
    "  --port N                     port (default: the service's config.ini, else 5556 for\n"
    "                               --ws, 5555 for --zmq)\n"
    "  --name NAME                  client name to log in under (default qorvctl-<pid>)\n"
    "  --timeout S                  give up after S seconds (default 60; 0 waits without bound)\n"
    "  -h, --help                   help (after a verb: that verb's help)\n"
    "\n"
    "Exit codes: 0 success, 1 the request failed (the error text goes to standard error),\n"
    "2 bad command line, 3 cannot connect or log in, 4 timed out.\n";

const QMap<QString, const char*> kVerbHelp = {
    {QStringLiteral("send"),
     "Usage: qorvctl [OPTIONS] send COMMAND [DATA]\n"
     "\n"
     "Sends a \"command\" envelope with a fresh guid and DATA (\"-\" reads it from standard input),\n"
     "then prints every answer with that guid: the hub's \"command_ret\", the ability's progress and\n"
     "its result. A hub error (negative code) fails at once. Progress (code 0 carrying a percent)\n"
     "draws a bar on standard error when that is a terminal. The task is over when the ability\n"
     "says so: a final code for download, unzip, replace and update (100 is success); the one\n"
     "answer of a query (0 is success; 100 for query_proc and pre_uninst); for commands that\n"
     "answer only a refusal (stop_*, start_proc, keep_proc, toasts) a short wait for one.\n"
     "A command that another client offers is taken as progress until a code other than 0.\n"
     "\n"
     "Options:\n"
     "  --no-wait                    return after the hub's answer\n"
     "  --success-codes C1,C2        final codes that count as success (replaces the default)\n"
     "  --single                     the first answer ends the task, whatever its code\n"
     "  --guid G                     use G instead of a fresh guid (the stop commands name the\n"
     "                               task to stop by its guid)\n"
     "  --userdata U                 opaque text echoed in every answer\n"
     "\n"
     "Example:\n"
     "  qorvctl send download '{\"from\":\"http://host/a.zip\",\"to\":\"/tmp/a.zip\",\"extra\":\"\"}'\n"},
    {QStringLiteral("abilities"),
     "Usage: qorvctl [OPTIONS] abilities\n"
     "\n"
     "Asks the hub for every command the logged-in clients offer and prints its answer, whose\n"
     "data is {\"abilities\":[...]}.\n"},
    {QStringLiteral("ability"),
     "Usage: qorvctl [OPTIONS] ability NAME\n"
     "\n"
     "Asks whether some client offers the command NAME. Exit 0 when it does, 1 when not.\n"},
    {QStringLiteral("transfer"),
     "Usage: qorvctl [OPTIONS] transfer --to A,B [--command C] DATA\n"
     "\n"
     "Relays a \"transfer\" envelope carrying DATA to the named clients and prints the hub's\n"
     "\"transfer_ret\". Names that are not logged in are dropped silently by the hub.\n"},
    {QStringLiteral("cast"),
     "Usage: qorvctl [OPTIONS] cast [--command C] DATA\n"
     "\n"
     "Relays DATA to every logged-in client (this one included) and prints the hub's answer.\n"},
    {QStringLiteral("listen"),
     "Usage: qorvctl [OPTIONS] listen [--offer C1,C2] [--answer-pre-uninst 200|201:REASON]\n"
     "\n"
     "Stays logged in and prints every envelope that arrives until interrupted (or until\n"
     "--timeout, when given, which then exits 0).\n"
     "\n"
     "Options:\n"
     "  --offer C1,C2                register these command names, so \"command\" envelopes for\n"
     "                               them are delivered here\n"
     "  --answer-pre-uninst 200      agree when the service asks (\"pre_uninst\") whether this\n"
     "                               application may be updated or uninstalled\n"
     "  --answer-pre-uninst 201:WHY  refuse, with WHY as the reason\n"
     "\n"
     "Example: pretend to be the application \"myapp\" and agree to its update:\n"
     "  qorvctl --name myapp listen --answer-pre-uninst 200\n"},
    {QStringLiteral("help"), "Usage: qorvctl help [VERB]\n"},
};

struct Options
{
    bool useZmq = false;
    int port = 0;
    QString name;
    int timeoutSeconds = -1; // -1: the verb's default
    bool noWait = false;
    bool single = false;
    std::optional<QList<qint64>> successCodes;
    QString guid;
    QString userdata;
    QStringList to;
    QString command;
    QStringList offer;
    std::optional<qint64> preUninstCode;
    QString preUninstReason;
    bool help = false;
    QStringList positional;
};

void PrintErr(const QString& _qstrText)
{
    std::fprintf(stderr, "qorvctl: %s\n", _qstrText.toLocal8Bit().constData());
}

// Parses the whole command line; options may come before or after the verb.
std::optional<Options> Parse(const QStringList& _listArgs, QString& _qstrError)
{
    Options opt;
    const QStringList valued = {QStringLiteral("--port"),    QStringLiteral("--name"),
                                QStringLiteral("--timeout"), QStringLiteral("--success-codes"),
                                QStringLiteral("--guid"),    QStringLiteral("--userdata"),
                                QStringLiteral("--to"),      QStringLiteral("--command"),
                                QStringLiteral("--offer"),   QStringLiteral("--answer-pre-uninst")};
    bool onlyPositional = false;
    for (int i = 1; i < _listArgs.size(); ++i) {
        QString arg = _listArgs.at(i);
        if (onlyPositional || !arg.startsWith(QLatin1String("-")) || arg == QLatin1String("-")) {
            opt.positional.append(arg);
            continue;
        }
        if (arg == QLatin1String("--")) {
            onlyPositional = true;
            continue;
        }
        QString value;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
        }
        if (valued.contains(arg)) {
            if (eq < 0) {
                if (i + 1 >= _listArgs.size()) {
                    _qstrError = arg + QStringLiteral(" needs a value");
                    return std::nullopt;
                }
                value = _listArgs.at(++i);
            }
        } else if (eq > 0) {
            _qstrError = arg + QStringLiteral(" takes no value");
            return std::nullopt;
        }
        bool ok = true;
        if (arg == QLatin1String("--ws"))
            opt.useZmq = false;
        else if (arg == QLatin1String("--zmq"))
            opt.useZmq = true;
        else if (arg == QLatin1String("--no-wait"))
            opt.noWait = true;
        else if (arg == QLatin1String("--single"))
            opt.single = true;
        else if (arg == QLatin1String("-h") || arg == QLatin1String("--help"))
            opt.help = true;
        else if (arg == QLatin1String("--port")) {
            opt.port = value.toInt(&ok);
            ok = ok && opt.port > 0 && opt.port < 65536;
        } else if (arg == QLatin1String("--name")) {
            opt.name = value;
            ok = !value.isEmpty();
        } else if (arg == QLatin1String("--timeout")) {
            opt.timeoutSeconds = value.toInt(&ok);
            ok = ok && opt.timeoutSeconds >= 0 && opt.timeoutSeconds <= 24 * 3600 * 365;
        } else if (arg == QLatin1String("--success-codes")) {
            QList<qint64> codes;
            for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                bool partOk = false;
                codes.append(part.trimmed().toLongLong(&partOk));
                ok = ok && partOk;
            }
            ok = ok && !codes.isEmpty();
            opt.successCodes = codes;
        } else if (arg == QLatin1String("--guid"))
            opt.guid = value;
        else if (arg == QLatin1String("--userdata"))
            opt.userdata = value;
        else if (arg == QLatin1String("--to")) {
            opt.to = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
            ok = !opt.to.isEmpty();
        } else if (arg == QLatin1String("--command"))
            opt.command = value;
        else if (arg == QLatin1String("--offer"))
            opt.offer = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (arg == QLatin1String("--answer-pre-uninst")) {
            const QString code = value.section(QLatin1Char(':'), 0, 0);
            if (code == QLatin1String("200") && !value.contains(QLatin1Char(':')))
                opt.preUninstCode = 200;
            else if (code == QLatin1String("201")) {
                opt.preUninstCode = 201;
                opt.preUninstReason = value.section(QLatin1Char(':'), 1);
            } else
                ok = false;
        } else {
            _qstrError = QStringLiteral("unknown option ") + arg;
            return std::nullopt;
        }
        if (!ok) {
            _qstrError = QStringLiteral("bad value for %1: %2").arg(arg, value);
            return std::nullopt;
        }
    }
    return opt;
}

// Draws a one-line progress bar on standard error when it is a terminal.
class ProgressBar
{
public:
    ProgressBar() : m_blEnabled(isatty(STDERR_FILENO) == 1) {}

    void Show(double _dPercent, const QString& _qstrStatus)
    {
        if (!m_blEnabled)
            return;
        const double percent = qBound(0.0, _dPercent, 100.0);
        const int width = 30;
        const int filled = static_cast<int>(percent * width / 100.0);
        const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char(' '));
        std::fprintf(stderr, "\r\033[K[%s] %5.1f%% %s", bar.toLatin1().constData(), percent,
                     _qstrStatus.toLocal8Bit().constData());
        std::fflush(stderr);
        m_blShown = true;
    }

    // Clears the bar so that a line printed on the same terminal stays readable.
    void Clear()
    {
        if (m_blShown) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
            m_blShown = false;
        }
    }

private:
    bool m_blEnabled;
    bool m_blShown = false;
};

class Client
{
public:
    Client(const Options& _opt, std::unique_ptr<CtlTransport> _pTransport, int _nTimeoutMs)
        : m_opt(_opt), m_pTransport(std::move(_pTransport)),
          m_deadline(_nTimeoutMs > 0 ? QDeadlineTimer(_nTimeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever))
    {
    }

    int Login(const QStringList& _listOffer)
    {
        QString error;
        const int connectMs =
            static_cast<int>(m_deadline.isForever() ? 10000 : qMin<qint64>(10000, Remaining()));
        if (!m_pTransport->Open(connectMs, error)) {
            PrintErr(error);
            return kExitConnect;
        }
        JsonCommand login = Make(QStringLiteral("notify"), QStringLiteral("command_login"));
        QJsonObject body;
        body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(_listOffer));
        login.data = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
        m_pTransport->Send(login.ToString());
        for (;;) {
            const auto next = Next(qMin<qint64>(connectMs, Remaining()));
            if (!next.has_value()) {
                PrintErr(m_pTransport->IsOpen() ? QStringLiteral("no answer to the login")
                                                : QStringLiteral("the service closed the connection"));
                return kExitConnect;
            }
            if (next->second.type == QLatin1String("notify_ret") && next->second.guid == login.guid) {
                if (next->second.error_code != 0) {
                    PrintErr(QStringLiteral("login refused: ") + next->second.error_string);
                    return kExitConnect;
                }
                return kExitOk;
            }
            // The WebSocket transport answers a refused login with plain text.
            if (next->second.type.isEmpty()) {
                PrintErr(QStringLiteral("login refused: ") + QString::fromUtf8(next->first));
                return kExitConnect;
            }
        }
    }

    JsonCommand Make(const QString& _qstrType, const QString& _qstrCommand) const
    {
        JsonCommand envelope;
        envelope.type = _qstrType;
        envelope.command = _qstrCommand;
        envelope.from = m_opt.name;
        envelope.guid = QUuid::createUuid().toString();
        envelope.userdata = m_opt.userdata;
        return envelope;
    }

    bool Send(const JsonCommand& _jsonCommand) { return m_pTransport->Send(_jsonCommand.ToString()); }

    qint64 Remaining() const
    {
        return m_deadline.isForever() ? 3600000 : qMax<qint64>(0, m_deadline.remainingTime());
    }
    bool Expired() const { return m_deadline.hasExpired(); }
    bool IsOpen() const { return m_pTransport->IsOpen(); }

    // The next message (raw text and envelope) within the bound; stops early on a signal or when
    // the connection closes.
    std::optional<std::pair<QByteArray, JsonCommand>> Next(qint64 _nMs)
    {
        QDeadlineTimer bound(_nMs);
        for (;;) {
            // Short slices, so that a signal is noticed soon.
            const auto text =
                m_pTransport->Receive(static_cast<int>(qMin<qint64>(100, bound.remainingTime())));
            if (text) {
                JsonCommand envelope;
                if (text->startsWith('{'))
                    envelope.LoadFromString(*text);
                return std::make_pair(*text, envelope);
            }
            if (g_nStopSignal != 0 || !m_pTransport->IsOpen() || bound.hasExpired())
                return std::nullopt;
        }
    }

    void Print(const QByteArray& _baText)
    {
        m_bar.Clear();
        std::fwrite(_baText.constData(), 1, static_cast<size_t>(_baText.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    // Why a wait ended without its answer.
    int WaitFailure(const QString& _qstrWhat)
    {
        m_bar.Clear();
        if (g_nStopSignal != 0) {
            PrintErr(QStringLiteral("interrupted while waiting for ") + _qstrWhat);
            return kExitFailed;
        }
        if (!m_pTransport->IsOpen()) {
            PrintErr(QStringLiteral("the service closed the connection while waiting for ") + _qstrWhat);
            return kExitConnect;
        }
        PrintErr(QStringLiteral("timed out waiting for ") + _qstrWhat);
        return kExitTimeout;
    }

    // Waits for the hub's answer of this type and guid, printing it. Other texts are dropped.
    std::optional<JsonCommand> WaitAnswer(const JsonCommand& _request, const QString& _qstrType, int& _nExit)
    {
        for (;;) {
            const auto next = Next(Remaining());
            if (!next) {
                _nExit = WaitFailure(QStringLiteral("the answer to ") + _request.command);
                return std::nullopt;
            }
            if (next->second.guid == _request.guid && next->second.type == _qstrType) {
                Print(next->first);
                return next->second;
            }
        }
    }

    ProgressBar& Bar() { return m_bar; }

private:
    const Options& m_opt;
    std::unique_ptr<CtlTransport> m_pTransport;
    QDeadlineTimer m_deadline;
    ProgressBar m_bar;
};

int Failed(const JsonCommand& _answer)
{
    QString text = _answer.error_string;
    if (text.isEmpty())
        text = _answer.data;
    PrintErr(QStringLiteral("%1 failed: error_code %2: %3")
                 .arg(_answer.command)
                 .arg(_answer.error_code)
                 .arg(text));
    return kExitFailed;
}

std::optional<double> ProgressPercent(const JsonCommand& _envelope, QString& _qstrStatus)
{
    const QJsonDocument doc = QJsonDocument::fromJson(_envelope.data.toUtf8());
    if (!doc.isObject() || !doc.object().value(QLatin1String("percent")).isDouble())
        return std::nullopt;
    _qstrStatus = doc.object().value(QLatin1String("status")).toString();
    return doc.object().value(QLatin1String("percent")).toDouble();
}

QString ReadData(const QString& _qstrArg)
{
    if (_qstrArg != QLatin1String("-"))
        return _qstrArg;
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    QByteArray data = in.readAll();
    // The newline that echo and editors leave at the end is not part of the payload.
    if (data.endsWith('\n'))
        data.chop(data.endsWith("\r\n") ? 2 : 1);
    return QString::fromUtf8(data);
}

int RunSend(Client& _client, const Options& _opt)
{
    JsonCommand request = _client.Make(QStringLiteral("command"), _opt.positional.at(1));
    if (!_opt.guid.isEmpty())
        request.guid = _opt.guid;
    request.data = _opt.positional.size() > 2 ? ReadData(_opt.positional.at(2)) : QString();
    TaskRules rules = TaskRules::ForCommand(request.command);
    if (_opt.single)
        rules.setKind(TaskRules::Kind::Single);
    if (_opt.successCodes)
        rules.setSuccessCodes(*_opt.successCodes);
    _client.Send(request);

    int exitCode = kExitOk;
    bool answered = false; // the hub's "command_ret" has come
    QDeadlineTimer grace(QDeadlineTimer::Forever);
    for (;;) {
        qint64 wait = _client.Remaining();
        if (!grace.isForever())
            wait = qMin(wait, grace.remainingTime());
        const auto next = _client.Next(wait);
        if (!next) {
            // A silent command that got no refusal within its grace is done.
            if (answered && !grace.isForever() && grace.hasExpired() && g_nStopSignal == 0)
                return kExitOk;
            return _client.WaitFailure(answered ? QStringLiteral("the result of ") + request.command
                                                : QStringLiteral("the hub's answer to ") + request.command);
        }
        const JsonCommand& envelope = next->second;
        if (envelope.guid != request.guid)
            continue;
        if (envelope.type == QLatin1String("command_ret")) {
            _client.Print(next->first);
            if (envelope.error_code != 0)
                return Failed(envelope);
            answered = true;
            if (_opt.noWait)
                return kExitOk;
            if (rules.kind() == TaskRules::Kind::Silent)
                grace = QDeadlineTimer(qMin<qint64>(TaskRules::kSilentGraceMs, _client.Remaining()));
            continue;
        }
        if (envelope.type != QLatin1String("transfer"))
            continue;
        _client.Print(next->first);
        if (!rules.IsFinal(envelope.error_code)) {
            QString status;
            if (const auto percent = ProgressPercent(envelope, status))
                _client.Bar().Show(*percent, status);
            continue;
        }
        _client.Bar().Clear();
        exitCode = rules.IsSuccess(envelope.error_code) ? kExitOk : Failed(envelope);
        return exitCode;
    }
}

int RunQuery(Client& _client, const QString& _qstrCommand, const QString& _qstrData)
{
    JsonCommand request = _client.Make(QStringLiteral("query"), _qstrCommand);
    request.data = _qstrData;
    _client.Send(request);
    int exitCode = kExitOk;
    const auto answer = _client.WaitAnswer(request, QStringLiteral("query_ret"), exitCode);
    if (!answer)
        return exitCode;
    return answer->error_code == 0 ? kExitOk : Failed(*answer);
}

int RunTransfer(Client& _client, const Options& _opt, bool _blCast)
{
    JsonCommand request = _client.Make(QStringLiteral("transfer"), _opt.command);
    request.data = ReadData(_opt.positional.at(1));
    request.iscast = _blCast;
    request.to = _blCast ? QStringList() : _opt.to;
    _client.Send(request);
    int exitCode = kExitOk;
    const auto answer = _client.WaitAnswer(request, QStringLiteral("transfer_ret"), exitCode);
    if (!answer)
        return exitCode;
    return answer->error_code == 0 ? kExitOk : Failed(*answer);
}

int RunListen(Client& _client, const Options& _opt, bool _blBounded)
{
    for (;;) {
        const auto next = _client.Next(_client.Remaining());
        if (!next) {
            if (g_nStopSignal != 0 || (_blBounded && _client.Expired()))
                break;
            if (!_client.IsOpen())
                return _client.WaitFailure(QStringLiteral("messages"));
            continue;
        }
        _client.Print(next->first);
        const JsonCommand& envelope = next->second;
        // The service asks whether this application may be updated or uninstalled; answer as the
        // application would: 200 agrees, 201 refuses with a reason.
        if (_opt.preUninstCode && envelope.type == QLatin1String("transfer") &&
            envelope.command == QLatin1String("pre_uninst") && envelope.error_code == 0) {
            JsonCommand answer = _client.Make(QStringLiteral("transfer"), QStringLiteral("pre_uninst"));
            answer.guid = envelope.guid;
            answer.userdata = envelope.userdata;
            answer.to =
                QStringList{envelope.from.isEmpty() ? QStringLiteral("message_service") : envelope.from};
            answer.error_code = *_opt.preUninstCode;
            answer.error_string = *_opt.preUninstCode == 201 ? _opt.preUninstReason : QString();
            _client.Send(answer);
            std::fprintf(stderr, "qorvctl: answered pre_uninst %s with %lld\n",
                         envelope.guid.toLocal8Bit().constData(), static_cast<long long>(answer.error_code));
        }
    }
    // Leave the registry as we found it.
    _client.Send(_client.Make(QStringLiteral("notify"), QStringLiteral("command_logout")));
    _client.Next(300);
    return kExitOk;
}

// Positional arguments each verb takes: {minimum, maximum} after the verb.
bool ArgCountOk(const QString& _qstrVerb, int _nCount)
{
    static const QMap<QString, QPair<int, int>> counts = {
        {QStringLiteral("send"), {1, 2}},    {QStringLiteral("abilities"), {0, 0}},
        {QStringLiteral("ability"), {1, 1}}, {QStringLiteral("transfer"), {1, 1}},
        {QStringLiteral("cast"), {1, 1}},    {QStringLiteral("listen"), {0, 0}},
    };
    const auto range = counts.value(_qstrVerb, qMakePair(-1, -1));
    return _nCount >= range.first && _nCount <= range.second;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The envelope parser reports unparsable texts; that is the service's log, not our output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QString error;
    const auto parsed = Parse(QCoreApplication::arguments(), error);
    if (!parsed) {
        PrintErr(error + QStringLiteral(" (see qorvctl --help)"));
        return kExitUsage;
    }
    Options opt = *parsed;
    const QString verb = opt.positional.value(0);
    if (verb.isEmpty() || (verb == QLatin1String("help") && opt.positional.size() == 1)) {
        std::fputs(kGeneralHelp, verb.isEmpty() && !opt.help ? stderr : stdout);
        return verb.isEmpty() && !opt.help ? kExitUsage : kExitOk;
    }
    if (verb == QLatin1String("help") || opt.help) {
        const QString topic = verb == QLatin1String("help") ? opt.positional.value(1) : verb;
        if (!kVerbHelp.contains(topic)) {
            PrintErr(QStringLiteral("unknown verb ") + topic);
            return kExitUsage;
        }
        std::fputs(kVerbHelp.value(topic), stdout);
        return kExitOk;
    }
    if (!kVerbHelp.contains(verb) || verb == QLatin1String("help")) {
        PrintErr(QStringLiteral("unknown verb ") + verb + QStringLiteral(" (see qorvctl --help)"));
        return kExitUsage;
    }
    if (!ArgCountOk(verb, opt.positional.size() - 1)) {
        PrintErr(QStringLiteral("wrong number of arguments for ") + verb);
        std::fputs(kVerbHelp.value(verb), stderr);
        return kExitUsage;
    }
    if (verb == QLatin1String("transfer") && opt.to.isEmpty()) {
        PrintErr(QStringLiteral("transfer needs --to"));
        return kExitUsage;
    }
    const bool sendOnly = !opt.guid.isEmpty() || opt.noWait || opt.successCodes || opt.single;
    if (sendOnly && verb != QLatin1String("send")) {
        PrintErr(QStringLiteral("--guid, --no-wait, --success-codes and --single belong to send"));
        return kExitUsage;
    }
    if ((opt.preUninstCode || !opt.offer.isEmpty()) && verb != QLatin1String("listen")) {
        PrintErr(QStringLiteral("--offer and --answer-pre-uninst belong to listen"));
        return kExitUsage;
    }
    if (opt.name.isEmpty())
        opt.name = QStringLiteral("qorvctl-%1").arg(QCoreApplication::applicationPid());
    if (opt.port == 0) {
        // The ports the service itself reads, so a moved port need not be repeated on each call.
        Config& config = Config::Instance();
        config.Load(AppPaths::ConfigFile());
        const int port = (opt.useZmq ? config.GetPort() : config.GetWsPort()).toInt();
        opt.port = port > 0 && port < 65536 ? port : (opt.useZmq ? 5555 : 5556);
    }

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const bool listen = verb == QLatin1String("listen");
    const int timeoutSeconds = opt.timeoutSeconds >= 0 ? opt.timeoutSeconds : (listen ? 0 : 60);
    auto transport = opt.useZmq ? CtlTransport::CreateZmq(static_cast<quint16>(opt.port), opt.name)
                                : CtlTransport::CreateWebSocket(static_cast<quint16>(opt.port));
    Client client(opt, std::move(transport), timeoutSeconds * 1000);
    const int login = client.Login(opt.offer);
    if (login != kExitOk)
        return login;

    if (verb == QLatin1String("send"))
        return RunSend(client, opt);
    if (verb == QLatin1String("abilities"))
        return RunQuery(client, QStringLiteral("command_abilities"), QString());
    if (verb == QLatin1String("ability"))
        return RunQuery(client, QStringLiteral("command_ability"), opt.positional.at(1));
    if (verb == QLatin1String("transfer") || verb == QLatin1String("cast"))
        return RunTransfer(client, opt, verb == QLatin1String("cast"));
    return RunListen(client, opt, timeoutSeconds > 0);
}
