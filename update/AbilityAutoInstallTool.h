#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "core/Result.h"
#include "update/CommandAutoInstallToolBody.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

class PathClaim;
class UpdateTask;

// Updates an installed application for a client after asking the application itself
// ("pre_uninst" handshake), and prepares an application for its uninstallation. Both are tasks
// of the one table, by guid. The requester gets the stages' progress (0), "succeed" (100) or the
// failing stage with its error (101).
class AbilityAutoInstallTool : public QObject, public AbilityTable<AbilityAutoInstallTool>
{
    Q_OBJECT
public:
    AbilityAutoInstallTool();
    ~AbilityAutoInstallTool() override;

    // Also takes the application's answer to the question asked before an update, and keeps a
    // stop from reaching an update that is still asking.
    bool DealCommand(const JsonCommand& _jsonCommand) override;

private:
    Handled DealPreUninst(const JsonCommand& _jsonCommand);
    Handled DealUpdate(const JsonCommand& _jsonCommand);
    Handled DealHandshakeAnswer(const JsonCommand& _jsonCommand);
    // The request's body; a failure when it cannot be used (answered 103).
    static Result<CommandAutoInstallToolBody> ReadBody(const JsonCommand& _jsonCommand, bool _blUpdate);
    // Null (and logged) when another running update holds one of the paths.
    static std::unique_ptr<PathClaim> ClaimPaths(const CommandAutoInstallToolBody& _body);
    // An update of this application is under way: asking it, installing, or putting the
    // installation back after a stop.
    bool IsBeingUpdated(const QString& _qstrAppId);

    static Handled Refused(qint64 _nCode, const QString& _qstrStatus);

    static const std::vector<Row> kCommands;

    // Every update task alive. A stopped one leaves the table at once but still owns the work
    // folders until its restore has ended and it is destroyed.
    std::vector<QPointer<UpdateTask>> m_vecUpdates;
};
