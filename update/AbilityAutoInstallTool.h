#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "core/GuidTaskTable.h"
#include "update/CommandAutoInstallToolBody.h"

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

class PathClaim;
class UninstallPrepareHelper;
namespace UpdateTool {
class ToolBox;
}

// Updates an installed application for a client after asking the application itself
// ("pre_uninst" handshake), and prepares an application for its uninstallation. The requester
// gets the stages' progress (0), "succeed" (100) or the failing stage with its error (101).
class AbilityAutoInstallTool : public QObject, public AbilityTable<AbilityAutoInstallTool>
{
    Q_OBJECT
public:
    AbilityAutoInstallTool();
    ~AbilityAutoInstallTool() override;

    // Also takes the application's answer to the question asked before an update.
    bool DealCommand(const JsonCommand& _jsonCommand) override;

    enum EmStatus { kPreparing = 6, kReadyToUninstall = 7, kCannotUninstall = 8 };
    static QString StatusText(int _emStatus);

signals:
    void SignDeleteUninstallPrepareHelperLater(const QString& _qstrGuid);

public slots:
    void SlotDeleteUninstallPrepareHelperLater(const QString& _qstrGuid);
    void slotProgress(int emStatus, qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void slotFinished(const QString& strId);
    void slotErrorOccurred(int emStatus, const QString& _qstrErrorInfo, const QString& strId);

private:
    struct UpdateTask
    {
        QString qstrAppId;
        // The client-given paths the update writes into, held until it ends.
        std::shared_ptr<PathClaim> pClaim;
    };
    using ToolBoxTable = GuidTaskTable<UpdateTool::ToolBox, UpdateTask>;

    void DealPreUninst(const JsonCommand& _jsonCommand);
    void DealUpdate(const JsonCommand& _jsonCommand);
    void DealStopUpdate(const JsonCommand& _jsonCommand);
    void DealHandshakeAnswer(const JsonCommand& _jsonCommand);
    // Parses the body and answers 103 when it cannot be used; true to go on.
    bool AcceptBody(const JsonCommand& _jsonCommand, bool _blUpdate, CommandAutoInstallToolBody& _body);
    void StartToolBox(const JsonCommand& _jsonCommand, const CommandAutoInstallToolBody& _body,
                      const std::shared_ptr<PathClaim>& _pClaim);
    // Null (and logged) when another running update holds one of the paths.
    static std::shared_ptr<PathClaim> ClaimPaths(const CommandAutoInstallToolBody& _body);
    void EndTask(const QString& _qstrGuid);
    // An update of this application is under way (asking it, or installing).
    bool IsBeingUpdated(const QString& _qstrAppId) const;

    static void SendResult(const JsonCommand& _jsonCommand, qint64 _nCode, const QString& _qstrStatus);
    static void SendError(const JsonCommand& _jsonCommand, const QString& _qstrStatus,
                          const QString& _qstrError);
    static void SendProgress(ToolBoxTable::Entry& _entry, const QString& _qstrStatus, double _dPercent);
    static QString StatusBody(const QString& _qstrStatus);

    static const std::vector<Row> kCommands;

    std::recursive_mutex m_mutex; // guards the two tables
    ToolBoxTable m_mapToolBox;
    GuidTaskTable<UninstallPrepareHelper, UpdateTask> m_mapUninstallPrepareHelper;
};
