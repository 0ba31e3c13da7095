// qorvctl: talks to the running service from a shell. Logs in over WebSocket or ZeroMQ, sends
// one request, prints every envelope that answers it (one JSON line, or one readable line on a
// terminal), and exits when the task is over.
#include "core/AppPaths.h"
#include "core/Config.h"
#include "tools/qorvctl/CtlClient.h"
#include "tools/qorvctl/CtlHelp.h"
#include "tools/qorvctl/CtlOptions.h"
#include "tools/qorvctl/CtlTerminal.h"
#include "tools/qorvctl/CtlVerbs.h"

#include <QCoreApplication>

#include <cstdio>
#include <optional>

namespace {

// Prints help when asked for; the exit code then, nothing when the verb is to run.
std::optional<int> Help(const CtlOptions& _opt)
{
    const QString verb = _opt.positional.value(0);
    if (verb.isEmpty() || (verb == QLatin1String("help") && _opt.positional.size() == 1)) {
        const bool asked = !verb.isEmpty() || _opt.help;
        std::fputs(CtlHelp::General(), asked ? stdout : stderr);
        return asked ? kExitOk : kExitUsage;
    }
    if (verb != QLatin1String("help") && !_opt.help)
        return std::nullopt;
    const QString topic = verb == QLatin1String("help") ? _opt.positional.value(1) : verb;
    const char* text = CtlHelp::ForVerb(topic);
    if (text == nullptr) {
        CtlPrintErr(QStringLiteral("unknown verb ") + topic);
        return kExitUsage;
    }
    std::fputs(text, stdout);
    return kExitOk;
}

// A usage error for options that do not fit the verb, or nothing.
std::optional<QString> Misfit(const CtlOptions& _opt)
{
    const QString verb = _opt.positional.value(0);
    if (CtlHelp::ForVerb(verb) == nullptr || verb == QLatin1String("help"))
        return QStringLiteral("unknown verb ") + verb + QStringLiteral(" (see qorvctl --help)");
    if (!CtlHelp::ArgCountOk(verb, _opt.positional.size() - 1))
        return QStringLiteral("wrong number of arguments for ") + verb;
    if (verb == QLatin1String("transfer") && _opt.to.isEmpty())
        return QStringLiteral("transfer needs --to");
    const bool sendOnly = !_opt.guid.isEmpty() || _opt.noWait || _opt.successCodes || _opt.single;
    if (sendOnly && verb != QLatin1String("send"))
        return QStringLiteral("--guid, --no-wait, --success-codes and --single belong to send");
    if ((_opt.preUninstCode || !_opt.offer.isEmpty()) && verb != QLatin1String("listen"))
        return QStringLiteral("--offer and --answer-pre-uninst belong to listen");
    return std::nullopt;
}

// The ports the service itself reads, so a moved port need not be repeated on each call.
int ConfiguredPort(bool _blZmq)
{
    Config& config = Config::Instance();
    config.Load(AppPaths::ConfigFile());
    const int port = (_blZmq ? config.GetPort() : config.GetWsPort()).toInt();
    return port > 0 && port < 65536 ? port : (_blZmq ? 5555 : 5556);
}

QString DefaultName()
{
    return QStringLiteral("qorvctl-%1").arg(QCoreApplication::applicationPid());
}

int RunVerb(CtlVerbs& _verbs, const QString& _qstrVerb, const CtlOptions& _opt)
{
    if (_qstrVerb == QLatin1String("send"))
        return _verbs.Send();
    if (_qstrVerb == QLatin1String("abilities"))
        return _verbs.Query(QStringLiteral("command_abilities"), QString());
    if (_qstrVerb == QLatin1String("ability"))
        return _verbs.Query(QStringLiteral("command_ability"), _opt.positional.at(1));
    if (_qstrVerb == QLatin1String("status"))
        return _verbs.Status();
    if (_qstrVerb == QLatin1String("transfer") || _qstrVerb == QLatin1String("cast"))
        return _verbs.Transfer(_qstrVerb == QLatin1String("cast"));
    return _verbs.Listen(_opt.timeoutSeconds > 0 || _opt.maxTimeSeconds > 0);
}

int Run(CtlOptions& _opt)
{
    const QString verb = _opt.positional.at(0);
    if (_opt.name.isEmpty())
        _opt.name = DefaultName();
    if (_opt.port == 0)
        _opt.port = ConfiguredPort(_opt.useZmq);
    CtlClient::InstallStopHandlers();

    const bool listen = verb == QLatin1String("listen");
    const int timeoutSeconds = _opt.timeoutSeconds >= 0 ? _opt.timeoutSeconds : (listen ? 0 : 60);
    const auto port = static_cast<quint16>(_opt.port);
    auto transport =
        _opt.useZmq ? CtlTransport::CreateZmq(port, _opt.name) : CtlTransport::CreateWebSocket(port);
    CtlClient client(_opt.name, _opt.userdata, std::move(transport), timeoutSeconds * 1000,
                     _opt.maxTimeSeconds * 1000);
    client.SetReadable(!_opt.json && CtlStdoutIsTerminal());
    const int login = client.Login(_opt.offer);
    if (login != kExitOk)
        return login;

    CtlVerbs verbs(client, _opt);
    const int code = RunVerb(verbs, verb, _opt);
    // The hub keeps every name until it is logged out; a name of our own making would pile up
    // there with each run. A name given with --name may be an application's: it stays. A
    // listener has logged out already.
    if (!listen && _opt.name == DefaultName())
        client.Logout();
    return code;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The envelope parser reports unparsable texts; that is the service's log, not our output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QString error;
    auto opt = CtlOptions::Parse(QCoreApplication::arguments(), error);
    if (!opt) {
        CtlPrintErr(error + QStringLiteral(" (see qorvctl --help)"));
        return kExitUsage;
    }
    if (opt->version) {
        std::printf("qorvctl %s\n", QORV_VERSION);
        return kExitOk;
    }
    if (const auto helped = Help(*opt))
        return *helped;
    if (const auto misfit = Misfit(*opt)) {
        CtlPrintErr(*misfit);
        if (misfit->startsWith(QLatin1String("wrong number")))
            std::fputs(CtlHelp::ForVerb(opt->positional.at(0)), stderr);
        return kExitUsage;
    }
    return Run(*opt);
}
