#pragma once

#include "core/JsonCommand.h"
#include "tools/qorvctl/CtlTransport.h"
#include "tools/qorvctl/ProgressBar.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>

// qorvctl's exit codes.
enum CtlExit {
    kExitOk = 0,
    kExitFailed = 1,        // the service or the ability answered with a failure
    kExitUsage = 2,         // bad command line
    kExitConnect = 3,       // no connection, login refused, or the connection closed
    kExitTimeout = 4,       // the bound ran out before the task was over
    kExitInterrupted = 130, // SIGINT or SIGTERM, as shells report an interrupted program
};

// "qorvctl: <text>" on standard error.
void CtlPrintErr(const QString& _qstrText);

// One logged-in session with the service under two bounds: an idle one (no envelope for that
// long) and, when asked, one for the whole run. Every wait ends early on SIGINT or SIGTERM or
// when the service closes the connection.
class CtlClient
{
public:
    // _nIdleMs and _nTotalMs: 0 is without bound.
    CtlClient(const QString& _qstrName, const QString& _qstrUserdata,
              std::unique_ptr<CtlTransport> _pTransport, int _nIdleMs, int _nTotalMs = 0);

    // SIGINT and SIGTERM end the waits instead of the process, so the verb can say why it stopped.
    static void InstallStopHandlers();
    static bool StopRequested();
    // A second signal: the user does not want to wait even for the task's stop.
    static bool StopInsisted();

    // kExitOk once logged in offering these commands, otherwise the exit code (reason printed).
    int Login(const QStringList& _listOffer);

    // Logs out and waits briefly for the hub to take it, so the name leaves the registry.
    void Logout();

    JsonCommand Make(const QString& _qstrType, const QString& _qstrCommand) const;
    bool Send(const JsonCommand& _jsonCommand);

    // What is left of the tighter bound.
    qint64 Remaining() const;
    bool Expired() const { return m_idle.hasExpired() || m_total.hasExpired(); }
    bool IsOpen() const { return m_pTransport->IsOpen(); }

    // The next message (raw text and envelope) within the bound; each one restarts the idle
    // bound. After a stop signal it returns at once unless told to go on (up to a second signal).
    std::optional<std::pair<QByteArray, JsonCommand>> Next(qint64 _nMs, bool _blAfterStop = false);
    // Prints one received text as a line on standard output: as it came, or for people.
    void Print(const QByteArray& _baText);
    void SetReadable(bool _blReadable) { m_blReadable = _blReadable; }
    bool Readable() const { return m_blReadable; }
    // One line of our own for people, on standard output.
    void PrintLine(const QString& _qstrLine);
    // Why a wait ended without its answer, printed; returns the exit code.
    int WaitFailure(const QString& _qstrWhat);
    // Waits for the hub's answer of this type and guid, printing it unless told not to. Other
    // texts are dropped.
    std::optional<JsonCommand> WaitAnswer(const JsonCommand& _request, const QString& _qstrType, int& _nExit,
                                          bool _blPrint = true);

    ProgressBar& Bar() { return m_bar; }

private:
    QString m_qstrName;
    QString m_qstrUserdata;
    std::unique_ptr<CtlTransport> m_pTransport;
    qint64 m_nIdleMs;
    QDeadlineTimer m_idle;
    QDeadlineTimer m_total;
    ProgressBar m_bar;
    bool m_blReadable = false;
};
