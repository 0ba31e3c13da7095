#include "tools/qorvctl/CtlHelp.h"

#include <QMap>
#include <QPair>

namespace {

const char* const kGeneralHelp =
    "Usage: qorvctl [OPTIONS] VERB [ARGS]\n"
    "\n"
    "Talks to the running qorv-utility-service: logs in, sends one request, prints every\n"
    "envelope that answers it on standard output, and exits when it is over. On a terminal each\n"
    "answer is one readable line (command, code, text, data); otherwise, or with --json, it is\n"
    "the envelope as one JSON line.\n"
    "\n"
    "Verbs:\n"
    "  send COMMAND [DATA]          ask an ability to do something and wait for its result\n"
    "  abilities                    list every command the logged-in clients offer\n"
    "  ability NAME                 is the command NAME offered? (exit 1 when not)\n"
    "  status                       the logged-in clients and the running tasks\n"
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
    "  --timeout S                  give up when nothing came for S seconds (default 60;\n"
    "                               0 waits without bound)\n"
    "  --max-time S                 give up after S seconds in all (default: no bound)\n"
    "  --json                       JSON lines even on a terminal\n"
    "  -h, --help                   help (after a verb: that verb's help)\n"
    "  --version                    print the version and exit\n"
    "\n"
    "Exit codes: 0 success, 1 the request failed (the error text goes to standard error),\n"
    "2 bad command line, 3 cannot connect or log in, 4 timed out, 130 interrupted.\n";

const QMap<QString, const char*> kVerbHelp = {
    {QStringLiteral("send"),
     "Usage: qorvctl [OPTIONS] send COMMAND [DATA]\n"
     "\n"
     "Sends a \"command\" envelope with a fresh guid and DATA (\"-\" reads it from standard input),\n"
     "then prints every answer with that guid: the hub's \"command_ret\", the ability's progress and\n"
     "its result. A hub error (negative code) fails at once. How long to wait, which codes mean\n"
     "success, which data the command needs and which command stops it all come from the\n"
     "service's command_catalog: a task reports progress (code 0) until a final code, a query\n"
     "answers once, and a command that answers only a refusal gets a short wait for one. A\n"
     "command that another client offers is taken as progress until a code other than 0.\n"
     "On a terminal a task shows its guid and one bar on standard error (percent, elapsed time,\n"
     "time left) instead of a line per update. Ctrl-C or SIGTERM stops the task with its stop\n"
     "command and exits 130.\n"
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
    {QStringLiteral("status"),
     "Usage: qorvctl [OPTIONS] status\n"
     "\n"
     "Asks the hub what it is doing and prints two tables: every logged-in client (name,\n"
     "transport zmq or ws, whether its connection is still open, login time) in name order,\n"
     "and every running task (command, guid, client, percent when known). Piped, or with\n"
     "--json, it prints the answer's data as it came:\n"
     "{\"clients\":[...],\"tasks\":[...]}.\n"},
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

} // namespace

const char* CtlHelp::General()
{
    return kGeneralHelp;
}

const char* CtlHelp::ForVerb(const QString& _qstrVerb)
{
    return kVerbHelp.value(_qstrVerb, nullptr);
}

bool CtlHelp::ArgCountOk(const QString& _qstrVerb, int _nCount)
{
    // {minimum, maximum} after the verb.
    static const QMap<QString, QPair<int, int>> counts = {
        {QStringLiteral("send"), {1, 2}},    {QStringLiteral("abilities"), {0, 0}},
        {QStringLiteral("ability"), {1, 1}}, {QStringLiteral("transfer"), {1, 1}},
        {QStringLiteral("cast"), {1, 1}},    {QStringLiteral("listen"), {0, 0}},
        {QStringLiteral("status"), {0, 0}},
    };
    const auto range = counts.value(_qstrVerb, qMakePair(-1, -1));
    return _nCount >= range.first && _nCount <= range.second;
}
