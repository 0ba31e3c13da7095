#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"
#include "update/CommandAutoInstallToolBody.h"

#include <QObject>
#include <QString>

#include <map>
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
class AbilityAutoInstallTool : public QObject, public IAbility
{
    Q_OBJECT
public:
    AbilityAutoInstallTool();
    ~AbilityAutoInstallTool() override;

    std::vector<QString> GetAbilities() override;
    bool DealCommand(const JsonCommand& _jsonCommand) override;

    static constexpr qint64 kProgress = 0;
    static constexpr qint64 kFinish = 100;
    static constexpr qint64 kFailed = 101;
    static constexpr qint64 kTaskExist = 102;
    static constexpr qint64 kInvalidParam = 103;
    static constexpr qint64 kTaskNotExist = 104;

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
    template <typename Worker> struct TaskEntry
    {
        std::shared_ptr<Worker> pWorker;
        JsonCommand jsonCommand;
        QString qstrAppId;
        // The client-given paths the update writes into, held until it ends.
        std::shared_ptr<PathClaim> pClaim;
    };

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

    void SendResult(const JsonCommand& _jsonCommand, qint64 _nCode, const QString& _qstrStatus);
    void SendError(const JsonCommand& _jsonCommand, const QString& _qstrStatus, const QString& _qstrError);
    void SendProgress(const JsonCommand& _jsonCommand, const QString& _qstrStatus, double _dPercent);

    struct CommandEntry
    {
        const char* name;
        void (AbilityAutoInstallTool::*handler)(const JsonCommand&);
    };
    static const CommandEntry kCommands[];

    std::recursive_mutex m_mutex; // guards the three tables
    std::map<QString, TaskEntry<UpdateTool::ToolBox>> m_mapToolBox;
    std::map<QString, TaskEntry<UninstallPrepareHelper>> m_mapUninstallPrepareHelper;
    std::map<QString, int> m_mapLastPercent;
};
